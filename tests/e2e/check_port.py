#!/usr/bin/env python3
"""Fails at once, with one clear line, when something already listens on 127.0.0.1:9091, where
every end-to-end test starts a server of its own (for instance the one the README starts)."""
import socket
import sys

with socket.socket() as probe:
    # As the server does: connections of an earlier run in TIME_WAIT do not count, a listener does.
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        probe.bind(("127.0.0.1", 9091))
    except OSError:
        print("127.0.0.1:9091 is in use: stop the running worlds-server first", file=sys.stderr)
        sys.exit(1)
