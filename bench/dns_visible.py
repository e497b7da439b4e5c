#!/usr/bin/env python3
"""Update to visible in DNS: sends dyndns2 updates to tovix-server on
127.0.0.1:80 (or SERVER_URL), each with a new address, and after each
"good" polls PowerDNS on 127.0.0.1:53 (or DNS_ADDRESS; UDP, no recursion; at
most 60 s) until the A record holds the new address.
Prints the spread of that delay and of the update itself.

Usage: dns_visible.py HOST USER PASSWORD COUNT [SERVER_URL [DNS_ADDRESS]]
"""
import base64
import socket
import statistics
import struct
import sys
import time
import urllib.request


def encode_name(name):
    return b"".join(bytes([len(l)]) + l.encode() for l in name.split(".")) + b"\0"


def skip_name(data, pos):
    while True:
        n = data[pos]
        if n == 0:
            return pos + 1
        if n & 0xC0 == 0xC0:
            return pos + 2
        pos += 1 + n


def query_a(sock, name, qid):
    """The A addresses PowerDNS answers for name."""
    sock.send(struct.pack(">HHHHHH", qid, 0, 1, 0, 0, 0) + encode_name(name) + b"\0\x01\0\x01")
    while True:
        data = sock.recv(1500)
        if struct.unpack(">H", data[:2])[0] == qid:
            break
    answers = struct.unpack(">H", data[6:8])[0]
    pos = skip_name(data, 12) + 4
    out = []
    for _ in range(answers):
        pos = skip_name(data, pos)
        rtype, _, _, length = struct.unpack(">HHIH", data[pos:pos + 10])
        pos += 10
        if rtype == 1 and length == 4:
            out.append(socket.inet_ntoa(data[pos:pos + 4]))
        pos += length
    return out


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def main():
    host, user, password, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    server_url = sys.argv[5] if len(sys.argv) > 5 else "http://127.0.0.1"
    dns_address = sys.argv[6] if len(sys.argv) > 6 else "127.0.0.1"
    auth = "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.connect((dns_address, 53))
    sock.settimeout(2)
    visible, update, polls = [], [], 0
    for i in range(count):
        n = i + 1
        address = f"10.{(n >> 16) & 255}.{(n >> 8) & 255}.{n & 255}"
        request = urllib.request.Request(
            f"{server_url}/nic/update?hostname={host}&myip={address}",
            headers={"Authorization": auth, "User-Agent": "tovix-bench/1.0"})
        start = time.perf_counter()
        with urllib.request.urlopen(request, timeout=10) as reply:
            body = reply.read().decode()
        good = time.perf_counter()
        if body != f"good {address}":
            sys.exit(f"update {n}: answer {body!r}")
        deadline = good + 60
        while True:
            polls += 1
            if query_a(sock, host, (i * 7 + polls) & 0xFFFF) == [address]:
                break
            if time.perf_counter() > deadline:
                sys.exit(f"update {n}: {address} not visible in DNS after 60 s")
        visible.append((time.perf_counter() - good) * 1000)
        update.append((good - start) * 1000)
    for label, values in (("good -> visible in DNS", visible), ("the update itself", update)):
        print(f"{label}: n={len(values)} median {statistics.median(values):.2f} ms, "
              f"p90 {percentile(values, 90):.2f} ms, p99 {percentile(values, 99):.2f} ms, "
              f"max {max(values):.2f} ms")
    print(f"DNS queries: {polls} for {count} updates "
          f"({polls - count} answered the old address first)")


if __name__ == "__main__":
    main()
