#!/bin/sh
# Puts the front's mtail program into the Debian root at $1: an mmdebstrap customize hook, run
# from the top of the source tree. The workers' program is left out: in a pod there is no
# journal, and the server container's restarts are the runtime's to count.
set -eu
root=$1
install -d "$root/usr/share/worlds-server-metrics"
install -m 644 packaging/metrics/worlds-front.mtail "$root/usr/share/worlds-server-metrics/"
# Nothing of the package manager's state: the image is never upgraded in place.
rm -rf "$root"/var/lib/apt/lists/* "$root"/var/cache/apt/* "$root"/var/cache/debconf/*-old
