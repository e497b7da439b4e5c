#!/usr/bin/env python3
"""Hostile clients against a tovix-server on loopback, and what a good client
sees meanwhile. Every phase is bounded in connections and time and talks only
to the address given (127.0.0.0/8 in practice); attackers spread over
127.0.0.2.. so that the per-source connection limit does not hide the test.

Prints one table row per measure, tab-separated: measure, value, target.
Exit status 0 when every target was met, 1 otherwise.
"""
import argparse
import asyncio
import base64
import os
import re
import resource
import statistics
import sys
import time

GOOD_TARGET = "/nic/update?hostname={host}&myip=192.0.2.{n}"


def auth(user, password):
    return "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()


def request(path, user, password, extra=""):
    return (f"GET {path} HTTP/1.1\r\nHost: tovix\r\nUser-Agent: hostile-test\r\n"
            f"Authorization: {auth(user, password)}\r\n{extra}Connection: close\r\n\r\n").encode()


async def exchange(host, port, data, timeout, local=None):
    """Sends data, reads until the server closes; (seconds, reply or None)."""
    started = time.monotonic()
    try:
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection(host, port, local_addr=(local, 0) if local else None), timeout)
        writer.write(data)
        await writer.drain()
        reply = await asyncio.wait_for(reader.read(-1), timeout)
        writer.close()
        return time.monotonic() - started, reply
    except (OSError, asyncio.TimeoutError):
        return time.monotonic() - started, None


async def hold(host, port, local, stop, drip):
    """One slow (a byte every 4 s) or idle connection, reopened when cut."""
    while not stop.is_set():
        try:
            reader, writer = await asyncio.open_connection(host, port, local_addr=(local, 0))
        except OSError:
            await asyncio.sleep(0.5)
            continue
        try:
            head = b"GET /nic/update?hostname=x HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"s" * 4000
            for i in range(len(head)):
                if stop.is_set():
                    break
                if drip:
                    writer.write(head[i:i + 1])
                    await writer.drain()
                try:
                    data = await asyncio.wait_for(reader.read(1), 4.0 if drip else 30.0)
                    if not data:
                        break  # cut by the server: open another
                except asyncio.TimeoutError:
                    pass
        except OSError:
            pass
        writer.close()


async def good_client(args, count):
    latencies, answers = [], {}
    for n in range(count):
        seconds, reply = await exchange(
            args.host, args.port,
            request(GOOD_TARGET.format(host=args.hostname, n=n % 250 + 1), args.user,
                    args.password), 10)
        latencies.append(seconds)
        word = reply.split(b"\r\n\r\n", 1)[-1].split(b" ")[0].decode() if reply else "none"
        answers[word] = answers.get(word, 0) + 1
    return latencies, answers


def quantile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


async def phase_held(args, rows):
    stop = asyncio.Event()
    tasks = []
    for i in range(args.slow + args.idle):
        local = f"127.0.{1 + i // 200}.{2 + i % 200}"
        tasks.append(asyncio.create_task(hold(args.host, args.port, local, stop, i < args.slow)))
    await asyncio.sleep(args.settle)
    latencies, answers = await good_client(args, args.good)
    stop.set()
    for t in tasks:
        t.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    p50, p99 = statistics.median(latencies), quantile(latencies, 0.99)
    rows.append((f"good client p50 / p99 with {args.slow} slow + {args.idle} idle held",
                 f"{p50 * 1000:.1f} / {p99 * 1000:.1f} ms", "p99 <= 1000 ms", p99 <= 1.0))
    ok = answers.get("good", 0) + answers.get("nochg", 0)
    rows.append(("good client updates answered good/nochg", f"{ok} of {args.good} {answers}",
                 "all", ok == args.good))


def rss_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


async def flood_headers(host, port, local, count):
    try:
        reader, writer = await asyncio.open_connection(host, port, local_addr=(local, 0))
        writer.write(b"GET /nic/update HTTP/1.1\r\nHost: x\r\n")
        sent = 0
        while sent < count:
            writer.write(b"".join(b"X-%d: y\r\n" % (sent + k) for k in range(1000)))
            sent += 1000
            await writer.drain()
        writer.write(b"\r\n")
        await writer.drain()
        reply = await asyncio.wait_for(reader.read(200), 10)
        writer.close()
        return reply.split(b"\r\n", 1)[0].decode()
    except (OSError, asyncio.TimeoutError):
        return "closed"


async def phase_headers(args, rows):
    before = rss_kb(args.pid, "VmRSS:")
    replies = await asyncio.gather(*[
        flood_headers(args.host, args.port, f"127.0.9.{i + 2}", args.headers) for i in range(8)])
    peak = rss_kb(args.pid, "VmHWM:")
    # A sanitizer build starts far above a release build: there the flood
    # may only add to what the server held before.
    if args.rss_growth_only:
        rows.append((f"server RSS growth, 8 x {args.headers} headers",
                     f"{(peak - before) / 1024:.1f} MiB (peak {peak / 1024:.1f})", "<= 16 MiB",
                     peak - before <= 16 * 1024))
    else:
        rows.append((f"server peak RSS, 8 x {args.headers} headers",
                     f"{peak / 1024:.1f} MiB (before {before / 1024:.1f})", "<= 64 MiB",
                     peak <= 64 * 1024))
    refused = sum(1 for r in replies if not r.startswith("HTTP/1.1 200"))
    rows.append(("header floods answered", ", ".join(sorted(set(replies))), "431 or cut",
                 refused == len(replies)))


async def phase_guesses(args, rows):
    """Wrong passwords as fast as one source can send them; an answer that
    comes back at once was checked, a throttled one costs the guesser time."""
    async def guesser(local, account, stop, counts):
        while not stop.is_set():
            counts["sent"] += 1  # a new password each time, as a guesser sends
            seconds, reply = await exchange(
                args.host, args.port,
                request("/nic/update?hostname=x", account, f"guess{counts['sent']}"), 5, local)
            if reply is None:
                counts["lost"] += 1
            elif seconds < 0.5:
                counts["checked"] += 1
            else:
                counts["slowed"] += 1

    for label, account, sources in (("one source", "guessed1", ["127.0.10.2"]),
                                    ("one account from 20 sources", args.user,
                                     [f"127.0.11.{i + 2}" for i in range(20)])):
        stop, counts = asyncio.Event(), {"sent": 0, "checked": 0, "slowed": 0, "lost": 0}
        tasks = [asyncio.create_task(guesser(src, account, stop, counts))
                 for src in sources for _ in range(4)]
        await asyncio.sleep(args.guess_seconds)
        stop.set()
        await asyncio.gather(*tasks, return_exceptions=True)
        rate = counts["checked"] / args.guess_seconds
        if len(sources) == 1:
            target, met = "<= 10 a second", rate <= 10
        else:
            # The account's burst, then its rate, and its few exemptions
            # for sources that had not failed yet.
            bound = 20 + args.guess_seconds + 5 + args.guess_seconds / 10
            target, met = f"<= {bound:.0f} in all", counts["checked"] <= bound
        rows.append((f"password checks, {label}",
                     f"{rate:.1f}/s ({counts['checked']} checked, {counts['slowed']} slowed, "
                     f"{counts['lost']} unanswered)", target, met))
    # The owner, from a source that has not been failing.
    _, answers = await good_client(args, 3)
    ok = answers.get("good", 0) + answers.get("nochg", 0)
    rows.append(("the owner right after, from elsewhere", str(answers), "3 good/nochg", ok == 3))


async def phase_protocol(args, rows):
    pipelined = b"".join(request(GOOD_TARGET.format(host=args.hostname, n=7), args.user,
                                 args.password).replace(b"Connection: close\r\n", b"")
                         for _ in range(3))
    pipelined += request(GOOD_TARGET.format(host=args.hostname, n=7), args.user, args.password)
    _, reply = await exchange(args.host, args.port, pipelined, 10, "127.0.12.2")
    answered = (reply or b"").count(b"HTTP/1.1 ")
    rows.append(("4 pipelined requests answered", str(answered), "4", answered == 4))
    post = b"POST /nic/update HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
    seconds, reply = await exchange(args.host, args.port, post, 10, "127.0.12.3")
    status = (reply or b"none").split(b"\r\n", 1)[0].decode()
    rows.append(("POST without Content-Length", f"{status} in {seconds * 1000:.0f} ms",
                 "answered at once", reply is not None and seconds < 2))


async def phase_log_flood(args, rows):
    """The largest head the limits allow, without credentials, as fast as
    8 keep-alive connections from one source can send it: the log keeps a
    few lines of it and counts the rest."""
    before = os.path.getsize(args.log)
    req = ("GET /checkip?format=text HTTP/1.1\r\nHost: x\r\nUser-Agent: " + "a" * 12000 +
           "\r\n\r\n").encode()
    sent = 0

    async def one():
        nonlocal sent
        reader, writer = await asyncio.open_connection(args.host, args.port,
                                                       local_addr=("127.0.13.2", 0))
        end = time.monotonic() + args.flood_seconds
        while time.monotonic() < end:
            writer.write(req)
            await writer.drain()
            head = await reader.readuntil(b"\r\n\r\n")
            await reader.readexactly(int(re.search(rb"(?i)content-length: *(\d+)", head)[1]))
            sent += 1
        writer.close()

    await asyncio.gather(*(one() for _ in range(8)))
    await asyncio.sleep(1)  # the log's own thread writes
    grown = os.path.getsize(args.log) - before
    rows.append(("log growth, 12 KB User-Agent on /checkip from 8 connections of one source",
                 f"{grown} bytes for {sent} requests", "<= 64 KiB", grown <= 65536))


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=80)
    p.add_argument("--pid", type=int, required=True, help="the server's process id")
    p.add_argument("--user", default="tovix")
    p.add_argument("--password", default="KoReL52")
    p.add_argument("--hostname", default="home.tovix.example")
    p.add_argument("--slow", type=int, default=1000)
    p.add_argument("--idle", type=int, default=1000)
    p.add_argument("--good", type=int, default=100)
    p.add_argument("--settle", type=float, default=5, help="seconds before the good client")
    p.add_argument("--headers", type=int, default=400000)
    p.add_argument("--guess-seconds", type=float, default=5)
    p.add_argument("--rss-growth-only", action="store_true")
    p.add_argument("--log", help="the server's log (stderr), whose growth is measured")
    p.add_argument("--flood-seconds", type=float, default=10)
    args = p.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    rows = []
    await phase_protocol(args, rows)
    await phase_held(args, rows)
    await phase_headers(args, rows)
    await phase_guesses(args, rows)
    if args.log:
        await phase_log_flood(args, rows)
    print("| measure | value | target | met |")
    print("|---|---|---|---|")
    for measure, value, target, met in rows:
        print(f"| {measure} | {value} | {target} | {'yes' if met else 'NO'} |")
    return 0 if all(r[3] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
