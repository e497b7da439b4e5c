#!/usr/bin/env python3
"""Clients for tests/stress/stop-under-load.sh: many keep-alive connections,
each from an address of its own, that update, read pages and sign in until
the server stops answering. A third of them update a host of their own with
a new address each time; the others walk the web page (pages, sign-ins, a
wrong password now and then, a settings form through the committer).

Writes one line per updating connection to OUT: the host, the address of
its last update answered good, and the addresses sent after it that were
never answered. Prints the count of each answer seen."""
import argparse
import base64
import http.client
import re
import sys
import threading
import time

counts = {}
lock = threading.Lock()


def count(what):
    with lock:
        counts[what] = counts.get(what, 0) + 1


def connect(args, n):
    local = f"127.0.{40 + n // 200}.{2 + n % 200}"
    return http.client.HTTPConnection(args.host, args.port, timeout=60,
                                      source_address=(local, 0))


def sign_in(conn, args):
    conn.request("POST", "/signin", f"user={args.user}&password={args.password}",
                 {"Content-Type": "application/x-www-form-urlencoded"})
    r = conn.getresponse()
    r.read()
    cookie = (r.getheader("Set-Cookie") or "").split(";")[0]
    conn.request("GET", "/hosts", headers={"Cookie": cookie})
    page = conn.getresponse().read().decode()
    m = re.search(r'name="csrf" value="(\w+)"', page)
    return cookie, m.group(1) if m else ""


def updater(args, n, results, started):
    host = f"h{n % args.hosts}.{args.zone}"
    auth = "Basic " + base64.b64encode(f"{args.user}:{args.password}".encode()).decode()
    last_good, unanswered, i = "-", [], 0
    conn = connect(args, n)
    started.wait()
    while True:
        i += 1
        ip = f"10.{n % 250}.{i // 250 % 250}.{i % 250 + 1}"
        unanswered.append(ip)
        try:
            conn.request("GET", f"/nic/update?hostname={host}&myip={ip}",
                         headers={"Authorization": auth, "User-Agent": "stop-test/1.0"})
            r = conn.getresponse()
            body = r.read().decode()
        except (OSError, http.client.HTTPException):
            count("connection ended")
            break
        word = body.split(" ")[0] if r.status == 200 else str(r.status)
        count(word)
        if word == "good":
            last_good, unanswered = ip, []
        elif r.status == 503:
            unanswered.pop()  # not checked or stopping: never written
            if (r.getheader("Connection") or "").lower() == "close":
                break
    results.append(f"{host} {last_good} {','.join(unanswered) or '-'}")


def walker(args, n, started):
    conn = connect(args, n)
    host = f"h{n % args.hosts}.{args.zone}"
    try:
        cookie, csrf = sign_in(conn, args)
    except (OSError, http.client.HTTPException):
        count("connection ended")
        return
    form = {"Content-Type": "application/x-www-form-urlencoded", "Cookie": cookie}
    steps = [
        ("GET", f"/host/{host}", None, {"Cookie": cookie}),
        ("GET", "/hosts", None, {"Cookie": cookie}),
        ("POST", "/signin", f"user={args.user}&password={args.password}", form),
        ("POST", f"/host/{host}/settings", f"mx=mx.example.net&csrf={csrf}", form),
        ("GET", "/signin", None, {}),
        ("POST", "/signin", f"user=nobody&password=wrong{n}", form),
        ("GET", "/checkip", None, {}),
    ]
    started.wait()
    i = n
    while True:
        method, path, body, headers = steps[i % len(steps)]
        i += 1
        try:
            conn.request(method, path, body, headers)
            r = conn.getresponse()
            r.read()
        except (OSError, http.client.HTTPException):
            count("connection ended")
            return
        count(str(r.status))
        if r.status == 503 and (r.getheader("Connection") or "").lower() == "close":
            return
        if r.status >= 500 and r.status != 503:
            print(f"stop_clients: {method} {path}: {r.status}", file=sys.stderr)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=80)
    p.add_argument("--connections", type=int, default=300)
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--zone", required=True)
    p.add_argument("--hosts", type=int, required=True)
    p.add_argument("--ready", required=True, help="file made once every client is connected")
    p.add_argument("--out", required=True)
    args = p.parse_args()
    results, threads = [], []
    started = threading.Event()
    for n in range(args.connections):
        target = (updater, (args, n, results, started)) if n % 3 == 0 else \
                 (walker, (args, n, started))
        t = threading.Thread(target=target[0], args=target[1], daemon=True)
        t.start()
        threads.append(t)
    time.sleep(1)
    started.set()
    open(args.ready, "w").close()
    for t in threads:
        t.join(120)
    with open(args.out, "w") as f:
        f.write("\n".join(results) + "\n")
    print(" ".join(f"{k}={v}" for k, v in sorted(counts.items())))
    return 0 if not any(t.is_alive() for t in threads) else 1


if __name__ == "__main__":
    sys.exit(main())
