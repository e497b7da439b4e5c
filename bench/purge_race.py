#!/usr/bin/env python3
"""PowerDNS alone: is an old answer cached again after a purge?

Usage: purge_race.py DIR HOST ZONE ROUNDS

DIR holds the database (names.db, PowerDNS's generic SQLite schema, HOST
with one A record) and PowerDNS's control socket (pdns.controlsocket). Each
round, for each of two commands, alternating: one A query fills both of
PowerDNS's caches; the A record is changed in the database (committed); the
purge goes out ("purge HOST ZONE", or "purge HOST ZONE HOST ZONE": each
name twice, as tovix-server sends the exact names) with ten UDP queries for HOST right behind it (the first a
random 0-150 us after the command, then 20 us apart), so that some arrive
while PowerDNS is purging; 50 ms after the purge was answered, one query
tells whether the old address is still, or again, answered. Prints how
often, per command.
"""
import os
import random
import socket
import sqlite3
import struct
import sys
import time

from dnswire import A, addresses, encode_name


def address_in(data):
    return ",".join(sorted(addresses(data, A)))


def spin(microseconds):
    end = time.perf_counter() + microseconds / 1e6
    while time.perf_counter() < end:
        pass


def main():
    folder, host, zone, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    db = sqlite3.connect(os.path.join(folder, "names.db"), isolation_level=None, timeout=10)
    dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dns.connect(("127.0.0.1", 53))
    dns.settimeout(2)
    question = encode_name(host) + b"\0\x01\0\x01"

    def ask(count=1, gap=0.0):
        qid = struct.unpack(">H", os.urandom(2))[0]
        packet = struct.pack(">HHHHHH", qid, 0, 1, 0, 0, 0) + question
        for _ in range(count):
            dns.send(packet)
            spin(gap)
        return qid

    def answers(qid, count):
        last = None
        while count:
            data = dns.recv(1500)
            if struct.unpack(">H", data[:2])[0] == qid:
                last = address_in(data)
                count -= 1
        return last

    def control(line):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(os.path.join(folder, "pdns.controlsocket"))
        s.sendall(line.encode())
        return s

    names = f"{host} {zone}"
    commands = {"each name once": f"purge {names}\n", "each name twice": f"purge {names} {names}\n"}
    stale = dict.fromkeys(commands, 0)
    n = 0
    for _ in range(rounds):
        for label, line in commands.items():
            n += 1
            new = f"10.99.{n // 250 % 250}.{n % 250 + 1}"
            answers(ask(), 1)  # the caches hold the old address
            db.execute("UPDATE records SET content = ? WHERE name = ? AND type = 'A'", (new, host))
            s = control(line)
            spin(random.uniform(0, 150))
            qid = ask(10, 20)
            s.recv(100)
            s.close()
            answers(qid, 10)
            time.sleep(0.05)
            if answers(ask(), 1) != new:
                stale[label] += 1
                control(f"purge {names}\n").recv(100)  # clean for the next round
    print(f"{rounds} rounds each; old address answered 50 ms after the purge: " +
          ", ".join(f"{label}: {count}" for label, count in stale.items()))


if __name__ == "__main__":
    main()
