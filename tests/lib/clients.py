#!/usr/bin/env python3
"""Clients for the system and container suites, run where the server's loopback is reachable.

  clients.py restarts N     N times: reset a connection in the middle of its head, which ends
                            the worker that took it, then time how long until an answer comes;
                            prints the slowest; fails if one never came within 10 s.
  clients.py load SECONDS [hostile] [front] [options]
                            8 clients make sequential GETs of /api/v1/worlds for SECONDS, each
                            answer checked byte for byte; with `hostile`, meanwhile a client
                            resets a connection mid-head every 300 ms and one connects and stays
                            silent. Prints the counts and the latencies; fails if any request was
                            refused, reset, timed out or answered short or wrong. With `front`,
                            all of it goes to the nginx front on port 8091 instead, with 10 silent
                            clients, and an answer is its status line and body byte for byte (the
                            front's other headers are its own). Options:
                              --reset-every S  a reset mid-head every S seconds instead
                              --from ADDRESS   the clients' own address (a loopback one)
                              --flood N        meanwhile hold N connections open from
                                               --flood-from (127.0.0.2), each having sent the
                                               start of a head, and open again one that closes
                              --request-flood N  meanwhile N connections from --flood-from
                                               send whole requests over keep-alive as fast as
                                               they are answered (the front only): a crowd with
                                               N in flight, which may get 200, 429 or 503 and
                                               nothing else
                              --spread         each of those from an address of its own
                                               (127.0.2.1 on): a flash crowd
                              --abandon        each of those sends a whole request (GET and
                                               POST in turn) on a new connection and within
                                               5 ms closes it, or resets it, without waiting
                                               for the answer
                              --started FILE  create FILE once the first answer has come
                              --tolerate CODE  a whole answer with status CODE (the front's 502
                                               while the server is stopped) is counted, not lost;
                                               a 200 whose body is cut short is always lost
                              --memory-of FILE  print the highest figure of a cgroup's memory
                                               file (bytes: the front container's memory use)
  clients.py flaky N        Listens on 127.0.0.1:9091 in the server's place for N connections:
                            reads each head, then resets the odd ones and answers the even ones
                            with the worlds answer. Prints what each connection asked for.
"""
import argparse
import multiprocessing
import os
import selectors
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
# The answer byte for byte, from the file every suite takes it from.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "worlds-answer.http"), "rb") as f:
    ANSWER = f.read()
BODY = ANSWER[ANSWER.index(b"\r\n\r\n") + 4:]
CLIENTS = 8


def reset_mid_head(address=ADDRESS, source=None):
    with socket.create_connection(address, timeout=2, source_address=source) as client:
        client.sendall(b"GET /x HT")
        time.sleep(0.05)  # a worker is reading the head now
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def request(timeout, front=False, source=None):
    """One request: "ok", "status NNN" (a whole answer of the front with another status),
    "cut" (the front's 200 with a body cut short), "refused", "reset", "timeout" or "wrong"."""
    try:
        with socket.create_connection(FRONT if front else ADDRESS, timeout=timeout, source_address=source) as client:
            client.sendall(FRONT_REQUEST if front else REQUEST)
            answer = b""
            while chunk := client.recv(4096):
                answer += chunk
        if not front:
            return "ok" if answer == ANSWER else "wrong"
        if answer.startswith(b"HTTP/1.1 200 OK\r\n"):
            return "ok" if answer.endswith(b"\r\n\r\n" + BODY) else "cut"
        if answer.startswith(b"HTTP/1.1 ") and b"\r\n\r\n" in answer:
            return "status " + answer[9:12].decode(errors="replace")
        return "wrong"
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
        while request(2) != "ok":
            if time.monotonic() - started > 10:
                sys.exit(f"restart {attempt}: no answer within 10 s")
            time.sleep(0.01)
        slowest = max(slowest, time.monotonic() - started)
    print(f"{count} restarts, each answered again within {slowest:.3f} s")


class Flood:
    """N connections held open from one address, each having sent the start of a head and then
    nothing; one that the front closes is opened again at once. Bounded: it stops with stop()."""

    def __init__(self, count, source, target):
        self.count, self.source, self.target = count, (source, 0), target
        self.held, self.reopened, self.failed = [], 0, 0
        self.stopping = False
        self.thread = threading.Thread(target=self.run)

    def open_one(self):
        connection = socket.socket()
        connection.setblocking(False)
        connection.bind(self.source)
        connection.connect_ex(self.target)
        self.held.append(connection)

    def run(self):
        selector = selectors.DefaultSelector()
        for _ in range(self.count):
            self.open_one()
        pending = set(self.held)
        for connection in self.held:
            selector.register(connection, selectors.EVENT_WRITE)
        while not self.stopping:
            for key, events in selector.select(timeout=0.1):
                connection = key.fileobj
                if connection in pending:  # connected (or failed): send the start of a head
                    pending.discard(connection)
                    selector.modify(connection, selectors.EVENT_READ)
                    try:
                        connection.send(b"GET / HTTP/1.1\r\n")
                        continue
                    except OSError:
                        pass
                else:
                    try:
                        if connection.recv(4096):
                            continue
                    except OSError:
                        pass
                # Closed by the front (or failed): open another in its place.
                selector.unregister(connection)
                connection.close()
                self.held.remove(connection)
                self.reopened += 1
                self.open_one()
                pending.add(self.held[-1])
                selector.register(self.held[-1], selectors.EVENT_WRITE)
        for connection in self.held:
            connection.close()

    def start(self):
        self.thread.start()

    def stop(self):
        self.stopping = True
        self.thread.join()


def read_answer(connection, pending):
    """One whole answer of the front from `connection` (bytes already read first in pending[0]):
    returns (status, closes), leaving what follows in pending[0]; raises EOFError on a close
    before the answer is whole."""
    def more():
        chunk = connection.recv(65536)
        if not chunk:
            raise EOFError("closed mid-answer")
        pending[0] += chunk

    while b"\r\n\r\n" not in pending[0]:
        more()
    head, pending[0] = pending[0].split(b"\r\n\r\n", 1)
    lines = head.split(b"\r\n")
    status = int(lines[0][9:12])
    fields = {name.strip().lower(): value.strip() for name, _, value in (line.partition(b":") for line in lines[1:])}
    if b"content-length" in fields:
        length = int(fields[b"content-length"])
        while len(pending[0]) < length:
            more()
        pending[0] = pending[0][length:]
    elif fields.get(b"transfer-encoding") == b"chunked":
        # The last chunk, "0", starts the body or follows a chunk's line end.
        while b"\r\n0\r\n\r\n" not in b"\r\n" + pending[0]:
            more()
        pending[0] = (b"\r\n" + pending[0]).split(b"\r\n0\r\n\r\n", 1)[1]
    return status, fields.get(b"connection") == b"close"


def request_flood(source, deadline, tally, lock):
    """Whole requests over keep-alive connections to the front from `source` until `deadline`,
    each sent as soon as the last is answered; counts each answer's status in tally, and
    anything else (a reset, a close mid-answer, a timeout) as its name."""
    connection = None
    pending = [b""]
    while time.monotonic() < deadline:
        try:
            if connection is None:
                connection = socket.create_connection(FRONT, timeout=10, source_address=(source, 0))
                pending = [b""]
            connection.sendall(REQUEST)
            status, closes = read_answer(connection, pending)
            outcome = str(status)
        except (socket.timeout, TimeoutError):
            outcome, closes = "timeout", True
        except ConnectionResetError:
            outcome, closes = "reset", True
        except (EOFError, OSError):
            outcome, closes = "closed", True
        with lock:
            tally[outcome] = tally.get(outcome, 0) + 1
        if closes:
            connection.close()
            connection = None
    if connection:
        connection.close()


ABANDONED = (REQUEST, b"POST /api/v1/worlds HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nx=1")


def abandon_flood(source, deadline, tally, lock):
    """Whole requests to the front from `source` until `deadline`, each on a new connection that
    is closed, or reset, within 5 ms of sending it, its answer never read."""
    sent = 0
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(FRONT, timeout=10, source_address=(source, 0)) as connection:
                connection.sendall(ABANDONED[sent % 2])
                time.sleep(0.001 * (sent % 6))
                if sent % 3 == 0:
                    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            outcome = "abandoned"
        except OSError as error:
            outcome = type(error).__name__
        sent += 1
        with lock:
            tally[outcome] = tally.get(outcome, 0) + 1


def crowd_process(count, flood_from, spread, deadline, tallies, abandon=False):
    """`count` request floods at once (a crowd with that many requests in flight) until
    `deadline`; puts the tally of their outcomes on `tallies`."""
    tally, lock = {}, threading.Lock()
    threads = [threading.Thread(target=abandon_flood if abandon else request_flood,
                                args=(flood_address(number, flood_from, spread), deadline, tally, lock))
               for number in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    tallies.put(tally)


def flood_address(number, flood_from, spread):
    """The address of request-flood connection `number`: flood_from, or with `spread` one of
    its own, 127.0.2.1 on (250 to each /24)."""
    return f"127.0.{2 + number // 250}.{number % 250 + 1}" if spread else flood_from


def load(seconds, hostile, front, *, reset_every=0.3, source=None, flood=0, flood_from="127.0.0.2",
         tolerate=(), memory_of=None, requests_flood=0, spread=False, abandon=False, started_file=None):
    source = (source, 0) if source else None
    target = FRONT if front else ADDRESS
    flooding = None
    if flood:
        flooding = Flood(flood, flood_from, target)
        flooding.start()
        time.sleep(min(5.0, 1.0 + flood / 4000))  # let the flood take its connections first
    deadline = time.monotonic() + seconds
    outcomes = {}
    latencies = []
    lock = threading.Lock()

    def client():
        while time.monotonic() < deadline:
            started = time.monotonic()
            outcome = request(10, front, source)
            took = time.monotonic() - started
            with lock:
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
                if outcome == "ok":
                    latencies.append(took)
                    if started_file and len(latencies) == 1:
                        open(started_file, "w").close()

    resets = 0

    def resetter():
        nonlocal resets
        while time.monotonic() < deadline:
            try:
                reset_mid_head(target, source)
                resets += 1
            except OSError:
                pass
            time.sleep(max(0.0, reset_every - 0.05))  # with the 50 ms inside

    threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
    # The crowd runs in a process of its own, so that its threads never hold the clients' lock.
    crowd = None
    if requests_flood:
        tallies = multiprocessing.Queue()
        crowd = multiprocessing.Process(target=crowd_process,
                                        args=(requests_flood, flood_from, spread, deadline, tallies, abandon))
        crowd.start()
    silent = []
    if hostile:
        silent = [socket.create_connection(target, timeout=5, source_address=source) for _ in range(10 if front else 1)]
        threads.append(threading.Thread(target=resetter))
    for thread in threads:
        thread.start()
    memory = None
    if memory_of:
        while any(thread.is_alive() for thread in threads):
            with open(memory_of) as usage:
                memory = max(memory or 0, int(usage.read()))
            time.sleep(0.2)
    for thread in threads:
        thread.join()
    flooded = {}
    if crowd:
        flooded = tallies.get(timeout=seconds + 30)
        crowd.join()
    for connection in silent:
        connection.close()
    if flooding:
        flooding.stop()
    latencies.sort()

    def percentile(p):
        return latencies[min(len(latencies) - 1, int(p * len(latencies)))] * 1000 if latencies else 0.0

    total = sum(outcomes.values())
    counted = {name for name in outcomes if name == "ok" or name.removeprefix("status ") in tolerate}
    lost = total - sum(outcomes[name] for name in counted)
    detail = ", ".join(f"{name} {count}" for name, count in sorted(outcomes.items()) if name != "ok") or "none lost"
    quiet = f"{len(silent)} silent client" + ("s" if len(silent) > 1 else "")
    extra = f"; {resets} resets mid-head and {quiet} meanwhile" if hostile else ""
    if flooding:
        extra += (f"; {flood} connections held from {flood_from} ({flooding.reopened} closed by the front "
                  f"and opened again)")
    # The crowd may be refused (429 past its share, 503 past the queue), never dropped; an
    # abandoning crowd only ever sends.
    crowd_lost = sum(count for name, count in flooded.items() if name not in ("200", "429", "503", "abandoned"))
    if requests_flood:
        whence = f"{requests_flood} addresses from 127.0.2.1" if spread else flood_from
        statuses = ", ".join(f"{name} {count}" for name, count in sorted(flooded.items()))
        extra += (f"; the crowd: {sum(flooded.values())} requests {'abandoned' if abandon else 'in flight'} {requests_flood} at a time from "
                  f"{whence} ({sum(flooded.values()) / seconds:.0f}/s): {statuses or 'none'}")
    if memory is not None:
        extra += f"; the front's memory at most {memory / 2**20:.1f} MiB"
    print(f"{outcomes.get('ok', 0)} of {total} answered byte for byte ({detail}){extra}; latency ms "
          f"p50 {percentile(0.5):.1f} p99 {percentile(0.99):.1f} max {percentile(1.0):.1f}", flush=True)
    if lost or total == 0:
        sys.exit(f"{lost} of {total} requests lost")
    if crowd_lost or (requests_flood and not flooded.get("abandoned" if abandon else "200")):
        sys.exit(f"the crowd got {crowd_lost} answers that were neither 200, 429 nor 503, or no 200 at all")


def flaky(count):
    with socket.create_server(ADDRESS, backlog=16) as listener:
        listener.settimeout(30)
        print("listening", flush=True)
        for number in range(1, count + 1):
            try:
                connection, _ = listener.accept()
            except TimeoutError:
                sys.exit(f"connection {number} never came (30 s)")
            connection.settimeout(30)
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
        parser = argparse.ArgumentParser(prog="clients.py load")
        parser.add_argument("seconds", type=float)
        parser.add_argument("modes", nargs="*", help="hostile, front")
        parser.add_argument("--reset-every", type=float, default=0.3)
        parser.add_argument("--from", dest="source")
        parser.add_argument("--flood", type=int, default=0)
        parser.add_argument("--flood-from", default="127.0.0.2")
        parser.add_argument("--request-flood", type=int, default=0)
        parser.add_argument("--spread", action="store_true")
        parser.add_argument("--abandon", action="store_true")
        parser.add_argument("--started")
        parser.add_argument("--tolerate", action="append", default=[])
        parser.add_argument("--memory-of")
        args = parser.parse_args(sys.argv[2:])
        if set(args.modes) - {"hostile", "front"}:
            parser.error(f"unknown modes {args.modes}")
        load(args.seconds, "hostile" in args.modes, "front" in args.modes, reset_every=args.reset_every,
             source=args.source, flood=args.flood, flood_from=args.flood_from, tolerate=args.tolerate,
             memory_of=args.memory_of, requests_flood=args.request_flood, spread=args.spread,
             abandon=args.abandon, started_file=args.started)
    elif sys.argv[1:2] == ["flaky"]:
        flaky(int(sys.argv[2]))
    else:
        sys.exit(__doc__)
