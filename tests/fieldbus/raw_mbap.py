#!/usr/bin/python3
"""Requests a PLC library would never send, built byte by byte (standard library only).

Sends to HOST PORT: a coil read of 2001 coils, a read of 100 coils from 400, a single-coil
write to 53 with the value 0x1234, an unknown function code 99, function code 7 and a
report-server-id request of 8 bytes. Prints one line per request with the answer's function
code and exception code in hex and the time the answer took, and exits 1 when an answer
differs from what a server of the map must give or takes longer than LIMIT_MS (exception
answers go out at once; a server that waits out a time-out first fails).

    /usr/bin/python3 tests/fieldbus/raw_mbap.py HOST PORT
"""
import socket
import struct
import sys
import time

LIMIT_MS = 100

# (name, PDU, expected function code of the answer, expected exception code or None)
REQUESTS = [
    ("read coils 0 count 2001", struct.pack(">BHH", 1, 0, 2001), 0x81, 0x03),
    ("read coils 400 count 100", struct.pack(">BHH", 1, 400, 100), 0x81, 0x02),
    ("write coil 53 value 0x1234", struct.pack(">BHH", 5, 53, 0x1234), 0x85, 0x03),
    ("function 99", struct.pack(">BHH", 99, 0, 1), 0xE3, 0x01),
    ("function 7", struct.pack(">B", 7), 0x87, 0x01),
    ("report server id (8 bytes)", struct.pack(">B", 0x11), 0x11, None),
]


def receive(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError("server closed the connection")
        data += chunk
    return data


def ask(sock, transaction, pdu):
    sock.sendall(struct.pack(">HHHB", transaction, 0, len(pdu) + 1, 1) + pdu)
    head = receive(sock, 7)
    answer_transaction, protocol, length, unit = struct.unpack(">HHHB", head)
    if answer_transaction != transaction or protocol != 0 or length < 2:
        raise ValueError("bad MBAP header %s" % head.hex())
    return receive(sock, length - 1)


def main():
    host, port = sys.argv[1], int(sys.argv[2])
    failed = 0
    with socket.create_connection((host, port), timeout=10) as sock:
        for transaction, (name, pdu, function, exception) in enumerate(REQUESTS, start=1):
            sent = time.monotonic()
            body = ask(sock, transaction, pdu)
            took_ms = (time.monotonic() - sent) * 1000.0
            got_exception = body[1] if exception is not None and len(body) > 1 else None
            ok = body[0] == function and got_exception == exception
            verdict = "ok" if ok else "UNEXPECTED (%s)" % body.hex()
            if ok and took_ms > LIMIT_MS:
                ok = False
                verdict = "TOO SLOW (over %d ms)" % LIMIT_MS
            failed += 0 if ok else 1
            shown = "%02X %02X" % (body[0], body[1]) if exception is not None else "%02X" % body[0]
            print("%s -> %s %s, %.1f ms" % (name, shown, verdict, took_ms))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
