#!/bin/sh
# Puts the front's nginx configuration into the Debian root at $1: an mmdebstrap customize
# hook, run from the top of the source tree. The site is enabled and Debian's default site
# removed, so nginx serves the worlds front on 8091 and nothing else.
set -eu
root=$1
install -m 644 deploy/images/front/nginx.conf "$root/etc/nginx/nginx.conf"
install -m 644 packaging/nginx/conf.d/worlds-server.conf "$root/etc/nginx/conf.d/worlds-server.conf"
# The metrics log, over syslog to the pod's metrics sidecar (the file says why).
install -m 644 deploy/images/front/worlds-server-metrics.conf "$root/etc/nginx/conf.d/worlds-server-metrics.conf"
# The pod's probes, outside the clients' bound (the file says why).
install -m 644 deploy/images/front/worlds-server-ready.conf "$root/etc/nginx/conf.d/worlds-server-ready.conf"
# Who a client is, for its share: in a pod, nobody by address (the file says why).
install -m 644 deploy/images/front/worlds-server-client.conf "$root/etc/nginx/conf.d/worlds-server-client.conf"
install -m 644 packaging/nginx/snippets/worlds-server.conf "$root/etc/nginx/snippets/worlds-server.conf"
install -m 644 packaging/nginx/snippets/worlds-server-connection.conf "$root/etc/nginx/snippets/worlds-server-connection.conf"
install -m 644 packaging/nginx/sites-available/worlds-server "$root/etc/nginx/sites-available/worlds-server"
install -m 644 packaging/nginx/sites-available/worlds-server-busy "$root/etc/nginx/sites-available/worlds-server-busy"
rm -f "$root/etc/nginx/sites-enabled/default"
ln -s ../sites-available/worlds-server "$root/etc/nginx/sites-enabled/worlds-server"
ln -s ../sites-available/worlds-server-busy "$root/etc/nginx/sites-enabled/worlds-server-busy"
# Nothing of the package manager's state: the image is never upgraded in place.
rm -rf "$root"/var/lib/apt/lists/* "$root"/var/cache/apt/* "$root"/var/cache/debconf/*-old \
  "$root"/var/log/nginx
