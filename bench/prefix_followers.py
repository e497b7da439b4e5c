#!/usr/bin/env python3
"""A router's prefix update moving its followers: COUNT updates of ROUTER
on tovix-server at 127.0.0.1:80 over one kept-alive connection, each with a
new /64 (ipv6prefix=2001:db8:N::/64). Before each, every follower fN.ZONE
(suffix ::N+1) is asked once, so PowerDNS (127.0.0.1:53) caches its old
AAAA; after each `good`, the followers are asked again (UDP, no recursion)
until every one answers the new address. Prints the spread of the answer's
latency and of that delay, and the committer's transactions and updates from
/metrics (127.0.0.1:9161) before and after.

Usage: prefix_followers.py ROUTER USER PASSWORD COUNT FOLLOWERS ZONE
"""
import base64
import http.client
import ipaddress
import re
import socket
import statistics
import struct
import sys
import time
import urllib.request

from dnswire import AAAA, addresses, encode_name


def ask(sock, names, qid_base):
    """Sends an AAAA query for each name; the answers that come, by name."""
    ids = {}
    for i, name in enumerate(names):
        qid = (qid_base + i) & 0xFFFF
        ids[qid] = name
        sock.send(struct.pack(">HHHHHH", qid, 0, 1, 0, 0, 0) + encode_name(name) + b"\0\x1c\0\x01")
    out = {}
    while len(out) < len(ids):
        try:
            data = sock.recv(1500)
        except socket.timeout:
            break
        name = ids.get(struct.unpack(">H", data[:2])[0])
        if name is None:
            continue
        out[name] = addresses(data, AAAA)
    return out


def metrics():
    """The committer's transactions and the updates in them."""
    text = urllib.request.urlopen("http://127.0.0.1:9161/metrics", timeout=5).read().decode()
    def value(name):
        m = re.search(r"^" + name + r" (\S+)$", text, re.M)
        return float(m.group(1)) if m else 0.0
    return (value("tovix_commit_batch_size_count"), value("tovix_commit_batch_size_sum"),
            value("tovix_commit_duration_seconds_sum"))


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def spread(label, values):
    print(f"{label}: n={len(values)} median {statistics.median(values):.2f} ms, "
          f"p90 {percentile(values, 90):.2f} ms, p99 {percentile(values, 99):.2f} ms, "
          f"max {max(values):.2f} ms")


def main():
    router, user, password = sys.argv[1], sys.argv[2], sys.argv[3]
    count, followers, zone = int(sys.argv[4]), int(sys.argv[5]), sys.argv[6]
    names = [f"f{i}.{zone}" for i in range(followers)]
    auth = "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.connect(("127.0.0.1", 53))
    sock.settimeout(1)
    conn = http.client.HTTPConnection("127.0.0.1", 80, timeout=10)
    before = metrics()
    answer, visible, stale, queries = [], [], 0, 0
    for n in range(1, count + 1):
        prefix = ipaddress.IPv6Network(f"2001:db8:{n:x}::/64")
        want = {name: [str(prefix[i + 1])] for i, name in enumerate(names)}
        queries += len(names)
        ask(sock, names, n * 1000)  # the old addresses, cached now
        start = time.perf_counter()
        conn.request("GET", f"/nic/update?hostname={router}&myip=192.0.2.1,2001:db8::1"
                     f"&ipv6prefix={prefix}", headers={"Authorization": auth,
                                                      "User-Agent": "tovix-bench/1.0"})
        body = conn.getresponse().read().decode()
        good = time.perf_counter()
        if not body.startswith(("good", "nochg")):
            sys.exit(f"update {n}: answer {body!r}")
        pending, first = list(names), True
        while pending:
            if time.perf_counter() - good > 60:
                sys.exit(f"update {n}: {len(pending)} followers not visible after 60 s")
            got = ask(sock, pending, n * 1000 + 500)
            queries += len(pending)
            pending = [name for name in pending if got.get(name) != want[name]]
            if first:
                stale += len(pending)
                first = False
        visible.append((time.perf_counter() - good) * 1000)
        answer.append((good - start) * 1000)
    after = metrics()
    spread("the update's answer", answer)
    spread(f"good -> all {followers} followers' new AAAA in DNS", visible)
    transactions, updates = after[0] - before[0], after[1] - before[1]
    print(f"commits: {transactions:.0f} transactions holding {updates:.0f} updates for "
          f"{count} requests; mean transaction {1000 * (after[2] - before[2]) / max(transactions, 1):.2f} ms")
    print(f"DNS queries: {queries}; {stale} of the first after a good got the old address")


if __name__ == "__main__":
    main()
