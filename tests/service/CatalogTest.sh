#!/usr/bin/env bash
# A catalog of journal lines: journalctl reads it, it explains every MESSAGE_ID the program sends
# and no other, and a package installs it where journalctl looks.
# Arguments: the source tree, then the catalog and the source that names the MESSAGE_IDs, both
# within it.
set -euo pipefail
tree=$1 catalog=$2 source=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/lib/systemd/catalog"
cp "$tree/$catalog" "$root/usr/lib/systemd/catalog/"
journalctl --root="$root" --update-catalog
listed=$(journalctl --root="$root" --list-catalog | awk '$2 == "quarnel:" {print $1}' | sort)
sent=$(grep -oE '"(MESSAGE_ID=)?[0-9a-f]{32}"' "$tree/$source" | grep -oE '[0-9a-f]{32}' | sort)
[[ -n $sent ]] || { echo "no MESSAGE_ID found in $source"; exit 1; }
[[ $listed == "$sent" ]] || { echo "catalog lists:"; echo "$listed"; echo "sent:"; echo "$sent"; exit 1; }
grep -qxF "$catalog usr/lib/systemd/catalog/" "$tree"/debian/*.install ||
    { echo "no package installs $catalog (debian/*.install)"; exit 1; }
