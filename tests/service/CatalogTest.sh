#!/usr/bin/env bash
# The journal's catalog of quarneld's lines: journalctl reads it, it explains every MESSAGE_ID
# the service sends and no other, and the package installs it where journalctl looks.
# Arguments: the catalog, the source that names the MESSAGE_IDs, the package's install list.
set -euo pipefail
catalog=$1 source=$2 install=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/lib/systemd/catalog"
cp "$catalog" "$root/usr/lib/systemd/catalog/"
journalctl --root="$root" --update-catalog
listed=$(journalctl --root="$root" --list-catalog | awk '$2 == "quarnel:" {print $1}' | sort)
sent=$(grep -oE '"[0-9a-f]{32}"' "$source" | tr -d '"' | sort)
[[ -n $sent ]] || { echo "no MESSAGE_ID found in $source"; exit 1; }
[[ $listed == "$sent" ]] || { echo "catalog lists:"; echo "$listed"; echo "service sends:"; echo "$sent"; exit 1; }
grep -qx "service/$(basename "$catalog") usr/lib/systemd/catalog/" "$install"
