#!/usr/bin/env python3
"""Measuring helpers for bench/run.sh. Figures are printed, never judged.

  measure.py alternate OUT RUNS LABEL_A "CMD A" LABEL_B "CMD B"
      Runs A and B alternately RUNS times each (after one unrecorded warm-up
      of each), every run through bench_spawn (path in BENCH_SPAWN), output
      thrown away. Appends one line per run to OUT: label, run, wall time in
      ms (fork to reaped), max RSS in KiB (wait4's rusage), exit status, CPU
      time in ms (user + system); and
      first a "floor" line: bench_spawn running /bin/true.
  measure.py icon-bytes FILE.exe
      Bytes of the RT_ICON and RT_GROUP_ICON resource data stored in a PE.
  measure.py report DIR [--quick]
      Prints the table from the files run.sh left in DIR.
  measure.py scale DIR
      Prints the group-commit table (SQLite, then PostgreSQL) from the files
      server_scale.sh left in DIR.
"""
import glob
import os
import shlex
import statistics
import struct
import subprocess
import sys
import time
import urllib.parse


def spawn_once(argv, env):
    """One run through bench_spawn (BENCH_SPAWN): wall ms, max RSS KiB, status, CPU ms."""
    done = subprocess.run([os.environ["BENCH_SPAWN"], *argv], env=env, check=True,
                          stdout=subprocess.PIPE, text=True)
    ms, rss, code, cpu = done.stdout.split()
    return float(ms), int(rss), int(code), float(cpu)


def alternate(out, runs, label_a, cmd_a, label_b, cmd_b):
    env = dict(os.environ)
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                 "ALL_PROXY", "no_proxy", "NO_PROXY"):
        env.pop(name, None)
    argv_a, argv_b = shlex.split(cmd_a), shlex.split(cmd_b)
    spawn_once(argv_a, env)
    spawn_once(argv_b, env)
    with open(out, "a") as f:
        ms, rss, code, cpu = spawn_once(["--floor"], env)
        f.write(f"floor\t0\t{ms:.3f}\t{rss}\t{code}\t{cpu:.3f}\n")
        for run in range(runs):
            for label, argv in ((label_a, argv_a), (label_b, argv_b)):
                ms, rss, code, cpu = spawn_once(argv, env)
                f.write(f"{label}\t{run}\t{ms:.3f}\t{rss}\t{code}\t{cpu:.3f}\n")
                f.flush()


# ---- PE resources ------------------------------------------------------------


def icon_bytes(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit(f"{path}: not a PE image")
    sections_count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    dirs = optional + (96 if magic == 0x10B else 112)
    rsrc_rva = struct.unpack_from("<I", data, dirs + 2 * 8)[0]
    sections = []
    table = optional + optional_size
    for i in range(sections_count):
        s = table + i * 40
        vsize, rva, raw_size, raw_ptr = struct.unpack_from("<IIII", data, s + 8)
        sections.append((rva, max(vsize, raw_size), raw_ptr))

    def offset(rva):
        for start, size, raw in sections:
            if start <= rva < start + size:
                return rva - start + raw
        raise SystemExit(f"{path}: RVA {rva:#x} outside the sections")

    base = offset(rsrc_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", data, directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", data, directory + 16 + 8 * i)
            yield name, target

    def leaf_sizes(target):
        if target & 0x80000000:
            for _, sub in entries(base + (target & 0x7FFFFFFF)):
                yield from leaf_sizes(sub)
        else:
            yield struct.unpack_from("<I", data, base + target + 4)[0]

    total = 0
    for name, target in entries(base):
        if not name & 0x80000000 and name in (3, 14):  # RT_ICON, RT_GROUP_ICON
            total += sum(leaf_sizes(target))
    return total


# ---- the report ----------------------------------------------------------------


def read_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\n") for line in f]
    except FileNotFoundError:
        return None


def read_kv(path):
    lines = read_lines(path) or []
    out = {}
    for line in lines:
        if "=" in line:
            key, value = line.split("=", 1)
            out[key.strip()] = value.strip()
    return out


def runs_of(path):
    lines = read_lines(path)
    if lines is None:
        return None
    by = {}
    for line in lines:
        label, _, ms, rss, code, cpu = line.split("\t")
        by.setdefault(label, []).append((float(ms), int(rss), int(code), float(cpu)))
    return by


def fmt_ms(ms):
    return f"{ms:.1f} ms" if ms >= 10 else f"{ms:.2f} ms"


def fmt_kib(kib):
    return f"{kib / 1024:.1f} MiB"


def fmt_bytes(n):
    return f"{n:,} B ({n / 1024:.1f} KiB)"


class Table:
    def __init__(self, *header):
        self.rows = [[str(c) for c in header]]

    def add(self, *cells):
        self.rows.append([str(c) for c in cells])

    def print(self):
        columns = len(self.rows[0])
        widths = [max(len(r[i]) for r in self.rows) for i in range(columns)]
        for n, row in enumerate(self.rows):
            print("| " + " | ".join(c.ljust(w) for c, w in zip(row, widths)) + " |")
            if n == 0:
                print("|" + "|".join("-" * (w + 2) for w in widths) + "|")


def pair_rows(table, by, label_a, label_b, what):
    a, b = by.get(label_a, []), by.get(label_b, [])
    if not a or not b:
        table.add(what, "no runs", "", "", "")
        return 0
    wall_a = statistics.median(r[0] for r in a)
    wall_b = statistics.median(r[0] for r in b)
    cpu_a = statistics.median(r[3] for r in a)
    cpu_b = statistics.median(r[3] for r in b)
    rss_a = statistics.median(r[1] for r in a)
    rss_b = statistics.median(r[1] for r in b)
    failed = sum(1 for r in a + b if r[2] != 0)
    table.add(f"{what} wall time", f"{len(a)}+{len(b)}", fmt_ms(wall_a),
              f"{label_b} {fmt_ms(wall_b)}", f"{wall_a / wall_b:.2f}")
    table.add(f"{what} CPU time", "", fmt_ms(cpu_a), f"{label_b} {fmt_ms(cpu_b)}",
              f"{cpu_a / cpu_b:.2f}")
    table.add(f"{what} max RSS", "", fmt_kib(rss_a), f"{label_b} {fmt_kib(rss_b)}",
              f"{rss_a / rss_b:.2f}")
    return failed


def served_check(path):
    """Counts the answers a run log holds: ok (200 good/nochg), challenges."""
    lines = read_lines(path) or []
    ok = sum(1 for l in lines if l.split("\t")[6:7] == ["200"] and
             l.split("\t")[7].split(" ")[0] in ("good", "nochg"))
    challenged = sum(1 for l in lines if l.split("\t")[6:7] == ["401"])
    return len(lines), ok, challenged


def percentile(values, p):
    values = sorted(values)
    k = (len(values) - 1) * p
    lo = int(k)
    hi = min(lo + 1, len(values) - 1)
    return values[lo] + (values[hi] - values[lo]) * (k - lo)


def load_check(d, levels):
    """The no-lost-update check: every answer a client saw as good/nochg is in
    the server's log, and every host's stored address is the address of the
    last update its log records."""
    log = read_lines(os.path.join(d, "load.requests.log"))
    listing = read_lines(os.path.join(d, "load.list"))
    if log is None or listing is None:
        return None, "no log or listing"
    last = {}
    ok_lines = 0
    for line in log:
        f = line.split("\t")
        if len(f) < 8 or f[6] != "200":
            continue
        word, _, address = f[7].partition(" ")
        if word not in ("good", "nochg"):
            continue
        ok_lines += 1
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(f[3]).query)
        host = query.get("hostname", [""])[0].lower()
        last[host] = address
    stored = {}  # host -> (ipv4, ipv6) as listed
    for line in listing[1:]:
        f = line.split("\t")
        if len(f) >= 4:
            stored[f[0]] = (f[2], f[3])
    mismatched = [h for h in last
                  if stored.get(h, ("", ""))[1 if ":" in last[h] else 0] != last[h]]
    client_ok = sum(int(l["good"]) + int(l["nochg"]) for l in levels)
    in_flight = sum(int(l["connections"]) for l in levels)
    problems = []
    if ok_lines < client_ok:
        problems.append(f"log has {ok_lines} good/nochg, clients saw {client_ok}")
    if ok_lines > client_ok + in_flight:
        problems.append(f"log has {ok_lines - client_ok} more good/nochg than the clients saw"
                        f" (at most {in_flight} were in flight at the stops)")
    if mismatched:
        problems.append(f"{len(mismatched)} host(s) store another address than their last update")
    errors = sum(int(l[k]) for l in levels for k in l if k.startswith("errors_"))
    other = sum(int(l["other"]) for l in levels)
    summary = (f"{ok_lines} good/nochg in the log vs {client_ok} seen by clients"
               f" (+{ok_lines - client_ok} cut off in flight at the stops); "
               f"{len(last)} hosts, {len(last) - len(mismatched)} store their last logged address;"
               f" other answers {other}, socket errors/timeouts {errors}")
    return not problems, summary + ("" if not problems else "; " + "; ".join(problems))


def print_machine(d, run):
    machine = read_kv(os.path.join(d, "machine.txt"))
    print(f"Machine: {machine.get('cpu', '?')}, {machine.get('cores', '?')} cores, "
          f"Linux {machine.get('kernel', '?')}, {machine.get('os', '?')}; "
          f"load average at start {machine.get('load', '?')} ({run} run)")


def bench_lines(path, tag):
    out = []
    for line in read_lines(path) or []:
        if line.startswith(tag + " "):
            out.append(dict(kv.split("=", 1) for kv in line.split()[1:]))
    return out


def scale_rows(table, run, prefix, notes, targets):
    """The rows of one server run of server_scale.sh (the directory RUN, one
    load level): durable updates/s, p50/p99 and the no-lost-update check,
    each named with PREFIX; the issue's targets beside them when TARGETS.
    Returns {clients: updates/s}."""
    rate_at = {}
    levels = bench_lines(os.path.join(run, "load.txt"), "BENCH")
    for lv in levels:
        n = int(lv["connections"])
        seconds = int(lv["duration_us"]) / 1e6
        rate_at[n] = int(lv["good"]) / seconds if seconds else 0
        p50, p99 = (int(lv[k]) / 1000 for k in ("p50_us", "p99_us"))
        rate_target, p99_target = targets and n == 32, targets and n == 128
        table.add(f"{prefix}durable updates/s, {n} clients", f"{rate_at[n]:,.0f}",
                  ">= 10,000" if rate_target else "", yes_no(rate_at[n] >= 10000) if rate_target else "")
        table.add(f"{prefix}p50 / p99, {n} clients", f"{p50:.1f} / {p99:.1f} ms",
                  "p99 <= 20 ms" if p99_target else "", yes_no(p99 <= 20) if p99_target else "")
    if levels:
        clients = "/".join(lv["connections"] for lv in levels)
        ok, summary = load_check(run, levels)
        table.add(f"{prefix}no update lost, {clients} clients", "OK" if ok else "FAILED", "all",
                  yes_no(ok))
        notes.append(f"{prefix}{clients} clients: {summary}")
    return rate_at


def scale_report(d):
    """The group-commit table (bench/server_scale.sh): durable updates a
    second and latency at each client count (one server run a level, in
    DIR/cN), beside the disk's own rate of single-row durable SQLite commits
    measured before the load and after each level; then the same on
    PostgreSQL (DIR/pgN)."""
    print_machine(d, "server_scale")
    table = Table("measure", "value", "target", "met")
    commits = [int(c["commits"]) / (int(c["duration_us"]) / 1e6)
               for c in bench_lines(os.path.join(d, "sqlite.txt"), "SQLITE")]
    disk = statistics.mean(commits) if commits else 0
    rate_at, notes = {}, []
    sqlite_runs = glob.glob(os.path.join(d, "c*"))
    for run in sorted(sqlite_runs, key=lambda p: int(p.rsplit("c", 1)[1])):
        rate_at.update(scale_rows(table, run, "", notes, targets=True))
    table.add("disk: single-row durable SQLite commits/s",
              " / ".join(f"{c:,.0f}" for c in commits) + " (before, after each level)", "", "")
    if disk and 32 in rate_at:
        # Against the mean of the disk's figures, and against the fastest.
        ratio, strict = rate_at[32] / disk, rate_at[32] / max(commits)
        table.add("updates/s at 32 clients / disk's commits/s",
                  f"{ratio:.2f} (fastest: {strict:.2f})", ">= 1.5", yes_no(ratio >= 1.5))
    pg_runs = glob.glob(os.path.join(d, "pg[0-9]*"))
    for run in sorted(pg_runs, key=lambda p: int(p.rsplit("pg", 1)[1])):
        scale_rows(table, run, "PostgreSQL: ", notes, targets=False)
    pg_commits = bench_lines(os.path.join(d, "pg-commits.txt"), "PGBENCH")
    if pg_commits:
        table.add("PostgreSQL: single-row durable commits/s, " +
                  " / ".join(c["clients"] for c in pg_commits) + " clients",
                  " / ".join(f"{float(c['tps']):,.0f}" for c in pg_commits), "", "")
    failed = read_lines(os.path.join(d, "pg-failed.txt"))
    if failed is not None:
        notes.append("PostgreSQL not measured: " + (failed[0] if failed else "no reason given"))
    table.print()
    for note in notes:
        print(note)


def yes_no(ok):
    return "yes" if ok else "no"


def report(d, quick):
    print_machine(d, "quick" if quick else "full")
    table = Table("row", "n", "Tovix (median)", "baseline (median)", "ratio")
    notes = []

    by = runs_of(os.path.join(d, "host_runs.tsv"))
    if by:
        failed = pair_rows(table, by, "tovix", "curl", "1 host -Slient")
        floor = by.get("floor", [(0, 0, 0, 0)])[0]
        _, ok, challenged = served_check(os.path.join(d, "host.requests.log"))
        notes.append(f"1: server answered good/nochg {ok} times, 401 {challenged} times "
                     f"(warm-ups included); non-zero exits {failed}; bench_spawn floor {fmt_ms(floor[0])}, "
                     f"{fmt_kib(floor[1])}")

    by = runs_of(os.path.join(d, "wine_runs.tsv"))
    if by:
        failed = pair_rows(table, by, "Tovix.exe", "wininet_get.exe", "2 Wine -Slient")
        _, ok, challenged = served_check(os.path.join(d, "wine.requests.log"))
        notes.append(f"2: server answered good/nochg {ok} times, 401 {challenged} times "
                     f"(Wine's WinInet sends credentials after a 401); non-zero exits {failed}")

    cancel = read_lines(os.path.join(d, "cancel.txt"))
    if cancel is not None:
        handled, close, failed = [], [], 0
        for line in cancel:
            f = line.split()
            if f and f[0] == "run":
                handled.append(int(f[3]) / 1000)
                close.append(int(f[5]) / 1000)
            elif f and f[0] == "failed":
                failed += 1
        if close:
            table.add("3 host cancel -> Close", f"{len(close)}",
                      f"{fmt_ms(statistics.median(close))}, worst {fmt_ms(max(close))}", "", "")
            notes.append(f"3: {failed} run(s) failed; Escape handled by the dialog after "
                         f"{fmt_ms(statistics.median(handled))} (median); p99 to Close "
                         f"{fmt_ms(percentile(close, .99))}")

    sizes = read_kv(os.path.join(d, "sizes.txt"))
    if sizes:
        exe, noicon, icons = (int(sizes.get(k, 0)) for k in ("exe", "exe_noicon", "icon_bytes"))
        table.add("4 Tovix.exe size", "", f"{exe:,} B", f"without icon {noicon:,} B",
                  f"{exe / 65536:.2f} of 64 KiB")
        table.add("4 host tovix size", "", f"{int(sizes['host_stripped']):,} B stripped",
                  f"{int(sizes['host']):,} B unstripped", "")
        notes.append(f"4: the icon's RT_ICON + RT_GROUP_ICON data in Tovix.exe: {icons:,} B; "
                     f"'without icon' is Tovix.exe relinked from tovix.rc less its ICON line")

    levels = bench_lines(os.path.join(d, "load.txt"), "BENCH")
    for lv in levels:
        seconds = int(lv["duration_us"]) / 1e6
        rps = int(lv["requests"]) / seconds if seconds else 0
        p = [int(lv[k]) / 1000 for k in ("p50_us", "p90_us", "p99_us", "max_us")]
        table.add(f"5 server, {lv['connections']} conn", f"{seconds:.0f} s",
                  f"{rps:,.0f} req/s", "p50/p90/p99/max " + "/".join(f"{v:.1f}" for v in p) + " ms",
                  "")
    if levels:
        ok, summary = load_check(d, levels)
        table.add("5 no update lost", "", "OK" if ok else "FAILED", "", "")
        notes.append("5: " + summary)
    table.print()
    for note in notes:
        print(note)


def main():
    if len(sys.argv) >= 8 and sys.argv[1] == "alternate":
        alternate(sys.argv[2], int(sys.argv[3]), *sys.argv[4:8])
    elif len(sys.argv) == 3 and sys.argv[1] == "icon-bytes":
        print(icon_bytes(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == "scale":
        scale_report(sys.argv[2])
    elif len(sys.argv) >= 3 and sys.argv[1] == "report":
        report(sys.argv[2], "--quick" in sys.argv[3:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
