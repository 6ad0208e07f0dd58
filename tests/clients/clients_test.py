#!/usr/bin/env python3
"""Real clients against the real binary: curl, Python's urllib, a headless browser on another
origin, the OpenAPI contract, a supervisor loop, and the installed systemd unit.

Run by CTest (one suite per test, all under the port lock). A suite whose tool is missing is
skipped (exit 77), unless WORLDS_REQUIRE_CLIENT_TOOLS=1, as in CI, where that is a failure.
"""
import http.server
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

SERVER = os.environ.get("WORLDS_SERVER", "build/default/worlds-server")
SOURCE_DIR = os.environ.get("WORLDS_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD_DIR = os.environ.get("WORLDS_BUILD_DIR", os.path.join(SOURCE_DIR, "build", "default"))
REQUIRE_TOOLS = os.environ.get("WORLDS_REQUIRE_CLIENT_TOOLS") == "1"
CLIENTS_DIR = os.path.join(SOURCE_DIR, "tests", "clients")
BASE = "http://127.0.0.1:9091"
LISTENING = b"info: Listening..\n"

DATA_DIR = os.path.join(SOURCE_DIR, "tests", "data")


def answer_file(name):
    with open(os.path.join(DATA_DIR, name), "rb") as answer:
        return answer.read()


# The answers byte for byte, from the files every suite takes them from.
WORLDS_ANSWER = answer_file("worlds-answer.http")
NOT_FOUND_ANSWER = answer_file("not-found-answer.http")
DOCUMENT = WORLDS_ANSWER[WORLDS_ANSWER.index(b"\r\n\r\n") + 4:]


def need(test, *tools):
    """Skips `test` (or fails it in CI) unless every tool is on the PATH; returns their paths."""
    paths = [shutil.which(tool) for tool in tools]
    missing = [tool for tool, path in zip(tools, paths) if path is None]
    if missing:
        message = "missing " + ", ".join(missing)
        if REQUIRE_TOOLS:
            test.fail(message)
        test.skipTest(message)
    return paths


def serve_fixed(test, body, content_type):
    """Answers every GET with 200 and `body` on an ephemeral loopback port until `test` ends;
    returns the origin, http://127.0.0.1:PORT."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    test.addCleanup(server.server_close)
    test.addCleanup(server.shutdown)
    return f"http://127.0.0.1:{server.server_address[1]}"


class Server:
    """The binary with its standard error read all the time by a thread."""

    def __init__(self):
        self.process = subprocess.Popen([SERVER], stderr=subprocess.PIPE, stdout=subprocess.DEVNULL)
        self.log = b""
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for chunk in iter(lambda: self.process.stderr.read1(4096), b""):
            with self.changed:
                self.log += chunk
                self.changed.notify_all()

    def wait_for(self, predicate, timeout=5.0):
        with self.changed:
            return self.changed.wait_for(lambda: predicate(self.log), timeout)

    def wait_listening(self, count=1, timeout=5.0):
        return self.wait_for(lambda log: log.endswith(LISTENING) and log.count(LISTENING) >= count, timeout)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(5)
        self.reader.join(5)  # the process held the pipe's only write end: its end of stream came
        self.process.stderr.close()


class ServerTestCase(unittest.TestCase):
    def setUp(self):
        self.server = Server()
        self.addCleanup(self.server.stop)
        self.assertTrue(self.server.wait_listening(), self.server.log)


class CurlTest(ServerTestCase):
    def curl(self, *args):
        (curl,) = need(self, "curl")
        return subprocess.run([curl, "-sS", *args], capture_output=True, timeout=20)

    def test_worlds_answer_byte_for_byte(self):
        result = self.curl("-i", BASE + "/api/v1/worlds")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, WORLDS_ANSWER)

    def test_not_found_byte_for_byte(self):
        result = self.curl("-i", BASE + "/x")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, NOT_FOUND_ANSWER)

    def test_post_with_a_body_gets_the_whole_document(self):
        result = self.curl("-d", "x=1", BASE + "/api/v1/worlds")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, DOCUMENT)
        self.assertTrue(self.server.wait_listening(2))
        self.assertIn(b"info: POST /api/v1/worlds\n", self.server.log)


class UrllibTest(ServerTestCase):
    def test_reads_and_parses_the_document(self):
        with urllib.request.urlopen(BASE + "/api/v1/worlds", timeout=10) as response:
            self.assertEqual(response.status, 200)
            self.assertEqual(response.headers["Content-Type"], "application/json")
            self.assertIsNone(response.headers["Content-Length"])
            body = json.loads(response.read())
        self.assertEqual(body, {"worlds": [{"id": 1234, "title": "Example world",
                                            "description": "This is an example world!",
                                            "category_ids": [14, 36, 24], "author_id": 1}]})

    def test_large_post_bodies_still_get_the_whole_document(self):
        # urllib sends the whole body before it reads: the server must read it all before it
        # closes, or the kernel resets the connection and the answer is lost.
        for size in (10_000_000, 50_000_000):
            body = b"b" * size
            for attempt in range(5):
                with self.subTest(size=size, attempt=attempt):
                    with urllib.request.urlopen(BASE + "/api/v1/worlds", data=body, timeout=30) as response:
                        self.assertEqual(response.read(), DOCUMENT)


PAGE = b"""<!doctype html>
<html><head><meta charset="utf-8"><title>worlds client</title></head>
<body><h1 id="title">pending</h1>
<script>
fetch("http://127.0.0.1:9091/api/v1/worlds")
  .then((response) => response.json())
  .then((list) => { document.getElementById("title").textContent = list.worlds[0].title; })
  .catch((error) => { document.getElementById("title").textContent = "failed: " + error; });
</script></body></html>
"""


class BrowserTest(ServerTestCase):
    def test_page_on_another_origin_fetches_and_shows_the_title(self):
        (chromium,) = need(self, "chromium")
        page_url = serve_fixed(self, PAGE, "text/html; charset=utf-8") + "/"
        with tempfile.TemporaryDirectory() as profile:
            started = time.monotonic()
            result = subprocess.run(
                [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--virtual-time-budget=10000",
                 "--dump-dom", page_url],
                capture_output=True, timeout=60)
            elapsed = time.monotonic() - started
        self.server.wait_listening(2, timeout=2)
        print(f"\nbrowser run: {elapsed:.2f} s; server log:\n{self.server.log.decode(errors='replace')}", flush=True)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace")[-2000:])
        self.assertIn('<h1 id="title">Example world</h1>', result.stdout.decode())
        self.assertLess(elapsed, 20.0, "the browser took too long: did a silent connection hold the server?")
        self.assertIn(b"info: GET /api/v1/worlds\n", self.server.log)


class ContractTest(unittest.TestCase):
    def tool(self, name):
        path = os.path.join(CLIENTS_DIR, "node_modules", ".bin", name)
        if not os.path.exists(path):
            message = f"missing {path}: run npm ci --prefix tests/clients"
            if REQUIRE_TOOLS:
                self.fail(message)
            self.skipTest(message)
        return path

    def validate(self, node, url):
        """validate_answer.mjs on the answer at `url`, against docs/openapi.yaml."""
        return subprocess.run([node, os.path.join(CLIENTS_DIR, "validate_answer.mjs"),
                               os.path.join(SOURCE_DIR, "docs", "openapi.yaml"), url],
                              cwd=CLIENTS_DIR, capture_output=True, timeout=60)

    def test_openapi_document_lints_clean(self):
        redocly = self.tool("redocly")
        result = subprocess.run([redocly, "lint", os.path.join(SOURCE_DIR, "docs", "openapi.yaml"),
                                 "--format=stylish"], cwd=CLIENTS_DIR, capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout.decode() + result.stderr.decode())

    def test_live_answer_matches_the_world_list_schema(self):
        self.tool("redocly")  # present when the packages are installed
        (node,) = need(self, "node")
        server = Server()
        self.addCleanup(server.stop)
        self.assertTrue(server.wait_listening(), server.log)
        result = self.validate(node, BASE + "/api/v1/worlds")
        self.assertEqual(result.returncode, 0, result.stderr.decode())

    def test_an_answer_that_breaks_the_schema_is_refused_by_it(self):
        self.tool("redocly")
        (node,) = need(self, "node")
        # A stand-in with the right status and headers whose world has no id: only the schema can
        # tell it from the real answer.
        broken = json.loads(DOCUMENT)
        del broken["worlds"][0]["id"]
        body = json.dumps(broken, separators=(",", ":")).encode()
        refused = self.validate(node, serve_fixed(self, body, "application/json") + "/api/v1/worlds")
        self.assertEqual(refused.returncode, 1, refused.stderr.decode())
        self.assertIn("/worlds/0 must have required property 'id'", refused.stderr.decode())


def reset_mid_head():
    """Connects, sends half a request line and resets: the server ends with ConnectionResetByPeer."""
    client = socket.create_connection(("127.0.0.1", 9091), timeout=5)
    client.sendall(b"GET /api/v1/wor")
    time.sleep(0.05)
    client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    client.close()


class SupervisionTest(unittest.TestCase):
    def test_restarted_server_answers_again_after_the_fatal_exit(self):
        exits = []
        stopping = threading.Event()
        current = []

        def supervise():  # what Restart=always does, without systemd
            while not stopping.is_set():
                server = Server()
                current.append(server)
                server.process.wait()
                exited = time.monotonic()
                server.stop()  # reads the log to its end
                exits.append((exited, server.process.returncode, server.log))

        supervisor = threading.Thread(target=supervise, daemon=True)
        supervisor.start()

        def finish():
            stopping.set()
            current[-1].stop()
            supervisor.join(10)
        self.addCleanup(finish)

        deadline = time.monotonic() + 10
        while not current and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertTrue(current and current[0].wait_listening(), "the first server did not start")
        reset_mid_head()
        while not exits and time.monotonic() < deadline:
            time.sleep(0.005)
        self.assertTrue(exits, "the reset did not end the server")
        exit_time, status, log = exits[0]
        self.assertEqual(status, 1)
        self.assertIn(b"error: ConnectionResetByPeer\n", log)
        # Measured and printed; bounded only so that a server that never comes back fails.
        while time.monotonic() < exit_time + 10.0:
            try:
                with urllib.request.urlopen(BASE + "/api/v1/worlds", timeout=1) as response:
                    self.assertEqual(response.read(), DOCUMENT)
                    answered = time.monotonic() - exit_time
                    print(f"\nanswered {answered * 1000:.0f} ms after the fatal exit", flush=True)
                    return
            except OSError:
                time.sleep(0.01)
        self.fail("no answer within 10 s of the fatal exit")


class SystemdTest(unittest.TestCase):
    def setUp(self):
        self.cmake, self.analyze = need(self, "cmake", "systemd-analyze")
        self.prefix = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.prefix)
        result = subprocess.run([self.cmake, "--install", BUILD_DIR, "--prefix", self.prefix],
                                capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.units = os.path.join(self.prefix, "lib", "systemd", "system")
        self.worker = os.path.join(self.units, "worlds-server@.service")
        self.socket = os.path.join(self.units, "worlds-server.socket")

    def test_install_puts_the_binary_and_the_units_in_place(self):
        self.assertTrue(os.access(os.path.join(self.prefix, "bin", "worlds-server"), os.X_OK))
        with open(self.worker) as unit:
            text = unit.read()
        self.assertIn(f"ExecStart={self.prefix}/bin/worlds-server\n", text)
        for setting in ("Sockets=worlds-server.socket\n", "Restart=always", "DynamicUser=yes", "NoNewPrivileges=yes",
                        "ProtectSystem=strict", "PrivateNetwork=yes", "RestrictAddressFamilies=none\n",
                        "CapabilityBoundingSet=\n", "SystemCallArchitectures=native", "MemoryMax=", "TimeoutStopSec="):
            self.assertIn(setting, text)
        with open(self.socket) as unit:
            text = unit.read()
        self.assertIn("ListenStream=127.0.0.1:9091\nBacklog=128\n", text)

    def test_systemd_accepts_the_units(self):
        # verify also opens the manual page the units' Documentation= names: the installed one.
        environment = dict(os.environ, MANPATH=os.path.join(self.prefix, "share", "man"))
        result = subprocess.run([self.analyze, "verify", self.socket, self.worker], capture_output=True, timeout=60,
                                env=environment)
        self.assertEqual(result.returncode, 0, result.stdout.decode() + result.stderr.decode())
        self.assertEqual(result.stderr.decode().strip(), "", "verify printed warnings")

    def test_exposure_score_is_low(self):
        result = subprocess.run([self.analyze, "security", "--offline=true", self.worker],
                                capture_output=True, timeout=60)
        lines = result.stdout.decode().strip().splitlines()
        self.assertTrue(lines and "Overall exposure level" in lines[-1], result.stdout.decode()[-500:])
        print("\n" + lines[-1], flush=True)
        score = float(lines[-1].split(":")[1].split()[0])
        self.assertLessEqual(score, 0.5)


if __name__ == "__main__":
    program = unittest.main(exit=False, verbosity=2)
    result = program.result
    if result.failures or result.errors or result.testsRun == 0:
        sys.exit(1)
    # A suite with a case skipped is reported as skipped (the cases that ran have passed), so a
    # missing tool never passes for a check that was made.
    for case, reason in result.skipped:
        print(f"skipped: {case.id()}: {reason}")
    sys.exit(77 if result.skipped else 0)
