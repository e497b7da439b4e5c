"""The bit of the DNS wire format the benchmarks need: a query's name, and
the A or AAAA addresses of an answer."""
import socket
import struct

A, AAAA = 1, 28


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


def addresses(data, rtype):
    """The addresses of type rtype (A or AAAA) in an answer, in its order."""
    questions, answers = struct.unpack(">HH", data[4:8])
    pos = 12
    for _ in range(questions):
        pos = skip_name(data, pos) + 4
    family, size = (socket.AF_INET, 4) if rtype == A else (socket.AF_INET6, 16)
    out = []
    for _ in range(answers):
        pos = skip_name(data, pos)
        kind, _, _, length = struct.unpack(">HHIH", data[pos:pos + 10])
        pos += 10
        if kind == rtype and length == size:
            out.append(socket.inet_ntop(family, data[pos:pos + size]))
        pos += length
    return out
