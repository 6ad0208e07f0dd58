#!/usr/bin/env python3
"""Runs COUNT copies of the server on one listener, as systemd's socket unit and worker
template do: the listener (127.0.0.1:PORT, backlog 128) is created and held here, and each copy
gets it as descriptor 3 with LISTEN_PID set to its own process ID and LISTEN_FDS=1. SIGTERM is
passed on to every copy; it exits when they all have. Usage: workers.py SERVER PORT COUNT
"""
import os
import signal
import socket
import sys

server, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(128)

children = []
for _ in range(count):
    pid = os.fork()
    if pid == 0:
        if listener.fileno() == 3:
            os.set_inheritable(3, True)
        else:
            os.dup2(listener.fileno(), 3)  # the copy is inheritable
        os.environ.update(LISTEN_PID=str(os.getpid()), LISTEN_FDS="1")
        os.execv(server, [server])
    children.append(pid)

signal.signal(signal.SIGTERM, lambda *_: [os.kill(child, signal.SIGTERM) for child in children])
for child in children:
    while True:
        try:
            os.waitpid(child, 0)
            break
        except InterruptedError:
            continue
