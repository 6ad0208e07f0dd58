#!/usr/bin/env python3
"""The documentation's examples against the real binary, so that they cannot go stale: the
README's `curl -i` answers byte for byte (but the prompt line, and curl's line ends), its log
excerpt, its error trace for a port that is taken (every file:line:column where that hop is),
the operating guide's journal trace for a reset mid-head, and the OpenAPI document's version
against the project's; that every path of the tree that a file of it names is a tracked file
(or a folder of them), and every section a document cites by name exists; and that the lists of
packages and images the documents give are those of debian/control and deploy/images/, at the
project's version. Run by CTest under the port lock."""
import fnmatch
import os
import re
import socket
import struct
import subprocess
import sys
import time
import unittest

SERVER = os.environ.get("WORLDS_SERVER", "build/default/worlds-server")
SOURCE_DIR = os.environ.get("WORLDS_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
ADDRESS = ("127.0.0.1", 9091)


def code_blocks(name):
    """The fenced code blocks of a Markdown file, each as its list of lines."""
    with open(os.path.join(SOURCE_DIR, name)) as document:
        text = document.read()
    return [block.split("\n")[1:-1] for block in re.findall(r"^```[^\n]*\n.*?^```$", text, re.M | re.S)]


def block_starting(name, first):
    blocks = [block for block in code_blocks(name) if block and block[0].startswith(first)]
    if not blocks:
        raise AssertionError(f"{name} has no example starting with {first!r}")
    return blocks


def run_server(until, action=None):
    """Starts the server, does `action` once it listens, and returns its standard error once
    `until(log)` holds (or after 10 s), ending it."""
    process = subprocess.Popen([SERVER], stderr=subprocess.PIPE, stdout=subprocess.DEVNULL)
    log = ""
    deadline = time.monotonic() + 10
    os.set_blocking(process.stderr.fileno(), False)
    acted = action is None
    while time.monotonic() < deadline and not until(log):
        chunk = process.stderr.read()
        if chunk:
            log += chunk.decode()
        elif process.poll() is not None:
            break
        if not acted and log.endswith("info: Listening..\n"):
            action()
            acted = True
        time.sleep(0.01)
    if process.poll() is None:
        process.kill()
    process.wait(5)
    log += (process.stderr.read() or b"").decode()
    process.stderr.close()
    return log


def ask(path):
    """What curl -i sends for `path`, and what the server answers."""
    with socket.create_connection(ADDRESS, timeout=5) as client:
        client.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:9091\r\nUser-Agent: curl/7.88.1\r\n"
                       "Accept: */*\r\n\r\n".encode())
        answer = b""
        while chunk := client.recv(4096):
            answer += chunk
    return answer


def trace_hops(lines, prefix):
    """(file:line:column, function name) of each hop line, the file under `prefix` read as the
    source tree; argument lists may be shortened to (...)."""
    hops = []
    for line in lines:
        match = re.match(rf"^{re.escape(prefix)}(\S+):(\d+):(\d+): in (.*)$", line)
        if match:
            hops.append((f"{match[1]}:{match[2]}:{match[3]}", match[4].split("(")[0]))
    return hops


class ReadmeTest(unittest.TestCase):
    def test_the_curl_answers_are_the_servers(self):
        blocks = block_starting("README.md", "$ curl -i http://127.0.0.1:9091/")
        self.assertEqual(len(blocks), 2)
        for block in blocks:
            path = block[0].split("9091", 1)[1]
            answers = []
            run_server(lambda log: log.count("info: Listening..") >= 2, lambda: answers.append(ask(path)))
            self.assertTrue(answers, f"no answer for {path}")
            self.assertEqual(answers[0].decode().replace("\r\n", "\n"), "\n".join(block[1:]), path)

    def test_the_log_excerpt_is_the_servers(self):
        (block,) = [b for b in block_starting("README.md", "info: All your codebase") if "info: GET /api/v1/worlds" in b]
        log = run_server(lambda log: log.count("info: Listening..") >= 2, lambda: ask("/api/v1/worlds"))
        self.assertEqual(log, "\n".join(block) + "\n")

    def test_the_address_in_use_trace_is_where_each_hop_is(self):
        (block,) = [b for b in block_starting("README.md", "info: All your codebase") if "error: AddressInUse" in b]
        with socket.create_server(ADDRESS):
            log = run_server(lambda log: "main()" in log)
        expected = [line.replace("/path/to/", SOURCE_DIR + "/") for line in block if line != "..."]
        self.assertEqual(log.split("\n")[:len(expected)], expected, log)

    def test_the_journal_trace_of_a_reset_is_where_each_hop_is(self):
        (block,) = [b for b in code_blocks(os.path.join("docs", "operating.md")) if any("ConnectionResetByPeer" in line for line in b)]
        shown = trace_hops([re.sub(r"^worlds-server\[\d+\]: ", "", line) for line in block], "./")

        def reset_mid_head():
            client = socket.create_connection(ADDRESS, timeout=5)
            client.sendall(b"GET /x HT")
            time.sleep(0.1)
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            client.close()
        log = run_server(lambda log: "main()" in log, reset_mid_head)
        self.assertIn("error: ConnectionResetByPeer\n", log)
        self.assertTrue(shown, "the journal example shows no hop")
        self.assertEqual(shown, trace_hops(log.split("\n"), SOURCE_DIR + "/"), log)


def project_version():
    return re.search(r"^project\(worlds VERSION (\S+) ", read("CMakeLists.txt"), re.M)[1]


class VersionTest(unittest.TestCase):
    def test_the_openapi_document_has_the_projects_version(self):
        self.assertIn(f"\n  version: {project_version()}\n", read(os.path.join("docs", "openapi.yaml")))

    def test_the_documents_name_the_packages_and_images_of_the_projects_version(self):
        # The .deb files and the images' tags in commands, where a release leaves them behind.
        named = re.compile(r"build/package/[\w-]+_(\d+\.\d+\.\d+)_|localhost/[\w-]+(?:, -[\w-]+)*(?:,? and -[\w-]+)?(?:, all)? ?:(\d+\.\d+\.\d+)")
        versions = [f"{path}: {a or b}" for path in ("README.md", os.path.join("docs", "operating.md"))
                    for a, b in named.findall(read(path))]
        self.assertTrue(versions)
        self.assertEqual([v for v in versions if not v.endswith(": " + project_version())], [])


def tracked_files():
    """The files git tracks (or has been told to add), relative to SOURCE_DIR: a path that only
    a build, npm or a local copy made is not the tree's."""
    listed = subprocess.run(["git", "-C", SOURCE_DIR, "ls-files", "-z", "--cached"], capture_output=True, check=True)
    return [path for path in listed.stdout.decode().split("\0") if path and os.path.exists(os.path.join(SOURCE_DIR, path))]


def tree_files():
    """The tree's own text files, relative to SOURCE_DIR."""
    for path in tracked_files():
        name = os.path.basename(path)
        if not name.endswith((".svg", ".json", ".http")) and name != ".gitignore" and "/corpus/" not in path:
            yield path


def read(path):
    with open(os.path.join(SOURCE_DIR, path), errors="replace") as file:
        return file.read()


class CrossReferenceTest(unittest.TestCase):
    def test_every_path_named_in_the_tree_is_tracked(self):
        named = re.compile(r"(?<![\w/.-])((?:src|tests|scripts|packaging|deploy|debian|docs|bench|fuzz)/[\w./@*-]*[\w*])")
        tracked = tracked_files()

        def is_tracked(name):
            return any(fnmatch.fnmatchcase(path, name) or fnmatch.fnmatchcase(path, name + "/*") for path in tracked)
        missing = [(path, name) for path in tree_files() for name in named.findall(read(path)) if not is_tracked(name)]
        # What git ignores (npm's node_modules, say) is named on purpose: a suite looks for it.
        ignored = subprocess.run(["git", "-C", SOURCE_DIR, "check-ignore", "--no-index", "--stdin"], capture_output=True,
                                 input="".join(f"{name}\n" for _, name in missing).encode()).stdout.decode().split("\n")
        self.assertEqual([f"{path}: {name}" for path, name in missing if name not in ignored], [])

    def test_the_lists_of_packages_and_images_are_complete(self):
        # Every package of debian/control in the README's install commands, and every image of
        # deploy/images/ (by its title) in the operating guide's list of images.
        packages = re.findall(r"^Package: (\S+)$", read(os.path.join("debian", "control")), re.M)
        install = next(block for block in code_blocks("README.md") if any("apt install" in line for line in block))
        self.assertEqual([p for p in packages if not any(f"build/package/{p}_" in line for line in install)], [])
        images = [re.search(r'org\.opencontainers\.image\.title="([^"]+)"', read(path))[1]
                  for path in sorted(p for p in tracked_files() if fnmatch.fnmatchcase(p, "deploy/images/*/Containerfile"))]
        guide = read(os.path.join("docs", "operating.md"))
        self.assertTrue(images)
        self.assertEqual([image for image in images if f"\n- `localhost/{image}`:" not in guide], [])

    def test_every_section_cited_by_name_exists(self):
        # `FILE, "Section"`, `[FILE](FILE), "Section"` and `see "Section"` (in the same file).
        cited = re.compile(r'(?:(README|[\w/.-]+\.md)\)?,|\bsee)\s+"([^"]+)"')
        missing = []
        for path in [path for path in tree_files() if path.endswith(".md")]:
            for target, section in cited.findall(read(path)):
                target = "README.md" if target == "README" else target or path
                if not os.path.isabs(target) and not os.path.exists(os.path.join(SOURCE_DIR, target)):
                    target = os.path.normpath(os.path.join(os.path.dirname(path), target))
                headings = re.findall(r"^#+ (.*)$", read(target), re.M)
                if " ".join(section.split()) not in headings:
                    missing.append(f'{path}: {target}, "{section}"')
        self.assertEqual(missing, [])


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(1 if result.failures or result.errors or result.testsRun == 0 else 0)
