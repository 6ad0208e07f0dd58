#!/usr/bin/env python3
"""Clients for the system suite, run in the container's network namespace (its own loopback).

  clients.py restarts N   N times: reset a connection in the middle of its head, which ends the
                          server, then time how long until the restarted one answers; fails if
                          any restart took a second or more.
"""
import socket
import struct
import sys
import time

ADDRESS = ("127.0.0.1", 9091)


def reset_mid_head():
    with socket.create_connection(ADDRESS, timeout=2) as client:
        client.sendall(b"GET /x HT")
        time.sleep(0.05)  # the server is reading the head now
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def answered():
    try:
        with socket.create_connection(ADDRESS, timeout=1) as client:
            client.sendall(b"GET /api/v1/worlds HTTP/1.1\r\n\r\n")
            answer = b""
            while chunk := client.recv(4096):
                answer += chunk
            return answer.startswith(b"HTTP/1.1 200 OK\r\n")
    except OSError:  # refused while no process listens, reset if the old one went meanwhile
        return False


def restarts(count):
    slowest = 0.0
    for attempt in range(1, count + 1):
        reset_mid_head()
        started = time.monotonic()
        while not answered():
            if time.monotonic() - started > 5:
                sys.exit(f"restart {attempt}: no answer within 5 s")
            time.sleep(0.01)
        took = time.monotonic() - started
        slowest = max(slowest, took)
        if took >= 1.0:
            sys.exit(f"restart {attempt}: answered after {took:.3f} s, not within 1 s")
    print(f"{count} restarts, each answered again within {slowest:.3f} s")


if __name__ == "__main__":
    if sys.argv[1:2] == ["restarts"]:
        restarts(int(sys.argv[2]))
    else:
        sys.exit(__doc__)
