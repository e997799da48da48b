#!/usr/bin/env bash
# The systemd unit: it starts the installed quarneld and reloads with SIGHUP once the file passes
# quarneld --check, systemd finds
# nothing wrong with it, and its exposure stays at 2.0 or less (CAP_SYS_ADMIN and CAP_SYS_PTRACE,
# which it only hands on to quarnel-netns, count as held). Both checks work offline,
# without a running systemd. Arguments: the unit file, the quarneld built here.
set -euo pipefail
unit=$1 daemon=$2
grep -qx 'ExecStart=/usr/sbin/quarneld' "$unit"
grep -qx 'ExecReload=/usr/sbin/quarneld --check' "$unit"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit"
# quarnel-netns enters network namespaces, and no other kind.
grep -qx 'RestrictNamespaces=net' "$unit"
# A stalled guard is restarted, and says so.
grep -qx 'WatchdogSec=10s' "$unit"
grep -qx 'ExecStopPost=/usr/sbin/quarneld --stopped' "$unit"
# Anyone may make namespaces: the descriptors they cost it are bounded, and so is its limit.
grep -qx 'LimitNOFILE=2048' "$unit"
# A service that ends with a failure (quarnel-netns gone, say) is started again.
grep -qx 'Restart=on-failure' "$unit"
# verify checks that each command names an executable: the one built here stands in.
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
sed "s#^\(Exec[A-Za-z]*=\)/usr/sbin/quarneld#\1$daemon#" "$unit" >"$folder/quarnel.service"
# verify also opens the manual pages that Documentation= names: those of this source tree.
mkdir -p "$folder/man/man8" "$folder/man/man1"
cp "$(dirname "$unit")/../man/quarneld.8" "$folder/man/man8/"
cp "$(dirname "$unit")/../man/quarnelctl.1" "$folder/man/man1/"
said=$(MANPATH=$folder/man systemd-analyze verify "$folder/quarnel.service" 2>&1) || { echo "$said"; exit 1; }
[[ -z $said ]] || { echo "systemd-analyze verify: $said"; exit 1; }
# The timer that writes the counters for node_exporter, and its service, pointed at a stand-in
# for quarnelctl.
sed "s#^ExecStart=/usr/bin/quarnelctl#ExecStart=/bin/true#" "$(dirname "$unit")/quarnel-metrics.service" \
    >"$folder/quarnel-metrics.service"
cp "$(dirname "$unit")/quarnel-metrics.timer" "$folder/"
said=$(MANPATH=$folder/man systemd-analyze verify "$folder/quarnel-metrics.timer" 2>&1) ||
    { echo "$said"; exit 1; }
[[ -z $said ]] || { echo "systemd-analyze verify: $said"; exit 1; }
# The threshold is in tenths: 20 is an exposure of 2.0.
systemd-analyze security --offline=true --threshold=20 "$folder/quarnel.service" | tail -1
