#!/usr/bin/env bash
# Runs a command in a network namespace of its own, with only loopback, up,
# and a mount namespace of its own: there a test may add firewall rules or
# mount over a system file (/etc/resolv.conf) and touch nothing else on the
# machine.
# That takes root; elsewhere the command runs as it is, without
# VELMORA_PRIVATE_NETWORK, and the cases that need it say why they skip.
#   bash in_private_network.sh COMMAND...
set -euo pipefail
if [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null && unshare --net --mount true 2>/dev/null; then
    exec unshare --net --mount -- bash -c 'ip link set lo up && VELMORA_PRIVATE_NETWORK=1 exec "$@"' bash "$@"
fi
exec "$@"
