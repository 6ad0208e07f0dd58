#!/usr/bin/env python3
"""Clients for the system suite, run in the container's network namespace (its own loopback).

  clients.py restarts N     N times: reset a connection in the middle of its head, which ends
                            the worker that took it, then time how long until an answer comes;
                            fails if any took a second or more.
  clients.py load SECONDS [hostile] [front]
                            8 clients make sequential GETs of /api/v1/worlds for SECONDS, each
                            answer checked byte for byte; with `hostile`, meanwhile a client
                            resets a connection mid-head every 300 ms and one connects and stays
                            silent. Prints the counts and the latencies; fails if any request was
                            refused, reset, timed out or answered short or wrong. With `front`,
                            all of it goes to the nginx front on port 8091 instead, with 10 silent
                            clients, and an answer is its status line and body byte for byte (the
                            front's other headers are its own).
  clients.py flaky N        Listens on 127.0.0.1:9091 in the server's place for N connections:
                            reads each head, then resets the odd ones and answers the even ones
                            with the worlds answer. Prints what each connection asked for.
"""
import socket
import struct
import sys
import threading
import time

ADDRESS = ("127.0.0.1", 9091)
FRONT = ("127.0.0.1", 8091)
REQUEST = b"GET /api/v1/worlds HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
# HTTP/1.0: the front closes after its answer and frames the body by that close, as the server does.
FRONT_REQUEST = b"GET /api/v1/worlds HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"
ANSWER = (b"HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Tovren/0.1\r\nContent-Type: application/json\r\n"
          b"X-Powered-By: Halvex/1.0\r\nAccess-Control-Allow-Origin: *\r\n\r\n"
          b'{"worlds":[{"id":1234,"title":"Example world","description":"This is an example world!",'
          b'"category_ids":[14,36,24],"author_id":1}]}')
BODY = ANSWER[ANSWER.index(b"\r\n\r\n") + 4:]
CLIENTS = 8


def reset_mid_head(address=ADDRESS):
    with socket.create_connection(address, timeout=2) as client:
        client.sendall(b"GET /x HT")
        time.sleep(0.05)  # a worker is reading the head now
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def request(timeout, front=False):
    """One request: "ok", "refused", "reset", "timeout" or "wrong"."""
    try:
        with socket.create_connection(FRONT if front else ADDRESS, timeout=timeout) as client:
            client.sendall(FRONT_REQUEST if front else REQUEST)
            answer = b""
            while chunk := client.recv(4096):
                answer += chunk
        if front:
            right = answer.startswith(b"HTTP/1.1 200 OK\r\n") and answer.endswith(b"\r\n\r\n" + BODY)
        else:
            right = answer == ANSWER
        return "ok" if right else "wrong"
    except ConnectionRefusedError:
        return "refused"
    except ConnectionResetError:
        return "reset"
    except (socket.timeout, TimeoutError):
        return "timeout"


def restarts(count):
    slowest = 0.0
    for attempt in range(1, count + 1):
        reset_mid_head()
        started = time.monotonic()
        while request(1) != "ok":
            if time.monotonic() - started > 5:
                sys.exit(f"restart {attempt}: no answer within 5 s")
            time.sleep(0.01)
        took = time.monotonic() - started
        slowest = max(slowest, took)
        if took >= 1.0:
            sys.exit(f"restart {attempt}: answered after {took:.3f} s, not within 1 s")
    print(f"{count} restarts, each answered again within {slowest:.3f} s")


def load(seconds, hostile, front):
    deadline = time.monotonic() + seconds
    outcomes = {}
    latencies = []
    lock = threading.Lock()

    def client():
        while time.monotonic() < deadline:
            started = time.monotonic()
            outcome = request(10, front)
            took = time.monotonic() - started
            with lock:
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
                if outcome == "ok":
                    latencies.append(took)

    resets = 0

    def resetter():
        nonlocal resets
        while time.monotonic() < deadline:
            try:
                reset_mid_head(FRONT if front else ADDRESS)
                resets += 1
            except OSError:
                pass
            time.sleep(0.25)  # with the 50 ms inside: one every 300 ms

    threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
    silent = []
    if hostile:
        silent = [socket.create_connection(FRONT if front else ADDRESS, timeout=5) for _ in range(10 if front else 1)]
        threads.append(threading.Thread(target=resetter))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for connection in silent:
        connection.close()
    latencies.sort()

    def percentile(p):
        return latencies[min(len(latencies) - 1, int(p * len(latencies)))] * 1000 if latencies else 0.0

    total = sum(outcomes.values())
    lost = total - outcomes.get("ok", 0)
    detail = ", ".join(f"{name} {count}" for name, count in sorted(outcomes.items()) if name != "ok") or "none lost"
    quiet = f"{len(silent)} silent client" + ("s" if len(silent) > 1 else "")
    extra = f"; {resets} resets mid-head and {quiet} meanwhile" if hostile else ""
    print(f"{outcomes.get('ok', 0)} of {total} answered byte for byte ({detail}){extra}; latency ms "
          f"p50 {percentile(0.5):.1f} p99 {percentile(0.99):.1f} max {percentile(1.0):.1f}")
    if lost or total == 0:
        sys.exit(f"{lost} of {total} requests lost")


def flaky(count):
    with socket.create_server(ADDRESS, backlog=16) as listener:
        print("listening", flush=True)
        for number in range(1, count + 1):
            connection, _ = listener.accept()
            with connection:
                head = b""
                while b"\r\n\r\n" not in head and (chunk := connection.recv(4096)):
                    head += chunk
                line = head.split(b"\r\n", 1)[0].decode()
                if number % 2:
                    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    print(f"connection {number}: {line}: reset", flush=True)
                else:
                    connection.sendall(ANSWER)
                    print(f"connection {number}: {line}: answered", flush=True)


if __name__ == "__main__":
    if sys.argv[1:2] == ["restarts"]:
        restarts(int(sys.argv[2]))
    elif sys.argv[1:2] == ["load"]:
        load(float(sys.argv[2]), "hostile" in sys.argv[3:], "front" in sys.argv[3:])
    elif sys.argv[1:2] == ["flaky"]:
        flaky(int(sys.argv[2]))
    else:
        sys.exit(__doc__)
