#!/usr/bin/env python3
"""Update to answered by PowerDNS, one host, COUNT updates in a row.

Per update, over one kept-alive HTTP connection to tovix-server (SERVER_URL,
default http://127.0.0.1) and raw UDP to PowerDNS (DNS_ADDRESS port 53,
default 127.0.0.1; no recursion asked, no process started in the loop):

 1. one A query to every PowerDNS to fill (--fill, default DNS_ADDRESS), so
    its caches hold the address stored now; that answer is also checked: an
    older address at DNS_ADDRESS means an old answer came back after the new
    one had been seen ("came back"); at another PowerDNS filled, that it was
    not new yet, and it is asked until it is (count and time printed);
 2. the update, a new address each time; its answer must be "good ADDR";
 3. right after the answer, A queries to DNS_ADDRESS until the new address
    comes back (at most --limit seconds, default 30: past PowerDNS's
    cache-ttl of 20 s; after 50 ms, one a millisecond): whether the first
    query answered the old address, the time from the answer to the first
    query that answered the new one, and whether the old address was still
    answered 1 s after the answer.

Prints the counts and the spread of the times (median, p90, p99, max), and
with --csv FILE one line per update.

Usage: dns_visible.py HOST USER PASSWORD COUNT [SERVER_URL [DNS_ADDRESS]]
                      [--fill ADDRESS]... [--limit SECONDS] [--csv FILE]
"""
import argparse
import base64
import http.client
import os
import socket
import statistics
import struct
import sys
import time
import urllib.parse

from dnswire import A, addresses, encode_name


class Resolver:
    """A connected UDP socket to one PowerDNS; A queries, answers parsed."""

    def __init__(self, address):
        self.address = address
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.connect((address, 53))
        self.sock.settimeout(1)
        self.queries = 0

    def query_a(self, name):
        """The A addresses answered for name, sorted, joined by ','."""
        question = encode_name(name) + b"\0\x01\0\x01"
        for _ in range(5):
            qid = struct.unpack(">H", os.urandom(2))[0]
            self.queries += 1
            self.sock.send(struct.pack(">HHHHHH", qid, 0, 1, 0, 0, 0) + question)
            try:
                while True:
                    data = self.sock.recv(1500)
                    if len(data) >= 12 and struct.unpack(">H", data[:2])[0] == qid:
                        return parse_a(data)
            except socket.timeout:
                continue
        sys.exit(f"no answer from PowerDNS at {self.address} in 5 tries")


def parse_a(data):
    rcode = data[3] & 0x0F
    if rcode != 0:
        return f"rcode{rcode}"
    return ",".join(sorted(addresses(data, A))) or "nodata"


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def spread(values):
    if not values:
        return "n=0"
    return (f"n={len(values)} median {statistics.median(values):.2f} ms, "
            f"p90 {percentile(values, 90):.2f} ms, p99 {percentile(values, 99):.2f} ms, "
            f"max {max(values):.2f} ms")


def address_of(n):
    return f"10.{(n >> 16) & 255}.{(n >> 8) & 255}.{n & 255}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("host")
    parser.add_argument("user")
    parser.add_argument("password")
    parser.add_argument("count", type=int)
    parser.add_argument("server_url", nargs="?", default="http://127.0.0.1")
    parser.add_argument("dns_address", nargs="?", default="127.0.0.1")
    parser.add_argument("--fill", action="append", default=[])
    parser.add_argument("--limit", type=float, default=30.0)
    parser.add_argument("--csv")
    args = parser.parse_args()

    url = urllib.parse.urlsplit(args.server_url)
    conn = http.client.HTTPConnection(url.hostname, url.port or 80, timeout=10)
    auth = "Basic " + base64.b64encode(f"{args.user}:{args.password}".encode()).decode()
    asked = Resolver(args.dns_address)
    fills = [asked if a == args.dns_address else Resolver(a)
             for a in (args.fill or [args.dns_address])]

    # Where the host stands now: the first update goes from there.
    before = asked.query_a(args.host)
    # A run starts its addresses past what any earlier run left.
    base = int(time.time()) % 50000 * 300
    rows = []
    came_back = 0
    late = {}  # PowerDNS filled, not asked: ms from good to the new address, when late
    cut = []  # updates whose kept-alive connection the server closed unanswered
    last_request = time.perf_counter()
    for i in range(args.count):
        address = address_of(base + i + 1)
        # 1. The caches hold what is stored now (the address of the
        # previous update). An older address there: at the PowerDNS asked,
        # an old answer came back after the new one had been seen; at
        # another one (--fill), it was not yet new: asked until it is.
        for r in fills:
            got = r.query_a(args.host)
            if not rows or rows[-1]["never"] or got == rows[-1]["address"]:
                continue
            if r is asked:
                came_back += 1
                print(f"update {i}: {r.address} answered {got} before it, not "
                      f"{rows[-1]['address']} seen {rows[-1]['visible_ms']:.2f} ms after "
                      f"the previous good", file=sys.stderr)
                continue
            while got != rows[-1]["address"] and time.perf_counter() - good < args.limit:
                got = r.query_a(args.host)
            late.setdefault(r.address, []).append((time.perf_counter() - good) * 1000)
        # 2. The update. The server closes a connection idle for 15 s (after
        # an old answer waited for): a new one then.
        start = time.perf_counter()
        if start - last_request > 14:
            conn.close()
        try:
            conn.request("GET", f"/nic/update?hostname={args.host}&myip={address}",
                         headers={"Authorization": auth, "User-Agent": "tovix-bench/1.0"})
            body = conn.getresponse().read().decode()
        except (http.client.RemoteDisconnected, ConnectionResetError) as e:
            # The server closed the kept-alive connection without reading the
            # request (see the count printed at the end): sent again on a new
            # connection; this update's own time is left out.
            cut.append(f"update {i + 1} after {time.perf_counter() - start:.2f} s ({e!r})")
            conn.close()
            start = time.perf_counter()
            conn.request("GET", f"/nic/update?hostname={args.host}&myip={address}",
                         headers={"Authorization": auth, "User-Agent": "tovix-bench/1.0"})
            body = conn.getresponse().read().decode()
        good = last_request = time.perf_counter()
        if body != f"good {address}":
            sys.exit(f"update {i + 1}: answer {body!r}")
        # 3. Right after the answer, until the new address comes back.
        first = None
        old_at_1s = False
        queries = 0
        while True:
            got = asked.query_a(args.host)
            now = time.perf_counter()
            queries += 1
            if first is None:
                first = got
            if got == address:
                break
            if now - good >= 1.0:
                old_at_1s = True
            if now - good > args.limit:
                break
            if now - good > 0.05:
                time.sleep(0.001)  # an old answer that stays: asked 1,000 times a second
        rows.append({
            "n": i + 1,
            "address": address,
            "update_ms": (good - start) * 1000,
            "visible_ms": (now - good) * 1000,
            "first_old": first != address,
            "old_at_1s": old_at_1s,
            "queries": queries,
            "never": got != address,
        })
        if got != address:
            print(f"update {i + 1}: {address} not answered within {args.limit} s "
                  f"(answered {got})", file=sys.stderr)

    if args.csv:
        with open(args.csv, "w") as f:
            f.write("n,address,update_ms,visible_ms,first_old,old_at_1s,queries\n")
            for r in rows:
                f.write(f"{r['n']},{r['address']},{r['update_ms']:.3f},{r['visible_ms']:.3f},"
                        f"{int(r['first_old'])},{int(r['old_at_1s'])},{r['queries']}\n")
    count = len(rows)
    visible = [r["visible_ms"] for r in rows]
    print(f"good -> visible in DNS: {spread(visible)}")
    print(f"the update itself: {spread([r['update_ms'] for r in rows])}")
    first_new = sum(1 for r in rows if not r["first_old"])
    print(f"first query after good answered the new address: {first_new} of {count}")
    print(f"first query after good answered the old address: {count - first_new} of {count}")
    slow = sorted(r["visible_ms"] for r in rows if r["old_at_1s"])
    print(f"still old after 1 s: {len(slow)} of {count}"
          + (f" (new after {', '.join(f'{v / 1000:.2f} s' for v in slow)})" if slow else ""))
    print(f"never new within {args.limit:g} s: {sum(1 for r in rows if r['never'])}")
    print(f"old answer came back after the new one was seen: {came_back}")
    for where in sorted({r.address for r in fills if r is not asked}):
        times = late.get(where, [])
        print(f"{where} (filled, not asked after good) still old at the next fill: "
              f"{len(times)} of {count}" + (f"; new {spread(times)} after good" if times else ""))
    polls = sum(r["queries"] for r in rows)
    print(f"DNS queries: {polls} after {count} updates "
          f"({polls - count} answered the old address first)")
    print(f"kept-alive connection closed by the server without an answer: {len(cut)}"
          + (f" ({'; '.join(cut)})" if cut else ""))
    print(f"before the run: {args.host} A {before}")


if __name__ == "__main__":
    main()
