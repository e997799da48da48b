#!/usr/bin/env bash
# The rules between the project's parts, checked in the sources' includes and, for the
# privileged helper and quarnel-netns, in what they were built from and link. Arguments: the source
# root, the built quarnel-helper and the built quarnel-netns.
#
# Folders are found, not listed: a folder added later (a room of platform/linux, platform/windows,
# another front end) is held to the same rules, and above all to the first: no folder includes,
# through any others, a folder that includes it.
set -euo pipefail
root=$1 helper=$2 netns=$3
failed=0

# The project's own folders: tests (which mirror them), build trees and version control aside.
mapfile -t tops < <(find "$root" -mindepth 1 -maxdepth 1 -type d \
    ! -name tests ! -name 'build' ! -name 'build-*' ! -name 'obj-*' ! -name '.*' -printf '%f\n' |
    sort)

# Rooms stack. Every quoted include of a file in another folder of the project is an arrow from
# the includer's folder to that folder; a loop among the arrows is a failure, named with the
# includes that make it. Without one, the folders are printed by their floor: 1 includes no
# other folder, and each folder stands one floor above the highest it includes.
arrows() {
    local file line path
    (cd "$root" && grep -rnE --include='*.cpp' --include='*.h' --include='*.c' \
        '^\s*#\s*include\s*"[^"]+/[^"]+"' "${tops[@]}") |
        while IFS=: read -r file line path; do
            path=${path#*\"}
            path=${path%%\"*}
            if [[ -d $root/${path%/*} && ${file%/*} != "${path%/*}" ]]; then
                printf '%s\t%s\t%s:%s includes %s\n' "${file%/*}" "${path%/*}" "$file" "$line" "$path"
            fi
        done | sort
}
if ! arrows | awk -F'\t' '
    !(($1, $2) in why) {
        why[$1, $2] = $3
        if (!($1 in seen)) { seen[$1]; nodes[++count] = $1 }
        if (!($2 in seen)) { seen[$2]; nodes[++count] = $2 }
        out[$1, ++outs[$1]] = $2
        ++edges
    }
    # Depth first; an arrow to a folder still on the path closes a loop.
    function visit(n,    i, m) {
        state[n] = 1
        path[++depth] = n
        for (i = 1; i <= outs[n]; i++) {
            m = out[n, i]
            if (state[m] == 1) {
                loop(m)
            } else if (!state[m]) {
                visit(m)
            }
        }
        --depth
        state[n] = 2
    }
    function loop(m,    k, first, text) {
        for (first = depth; path[first] != m; first--) {}
        text = ""
        for (k = first; k <= depth; k++) {
            text = text path[k] " -> "
        }
        print text m > "/dev/stderr"
        for (k = first; k <= depth; k++) {
            print "    " why[path[k], k < depth ? path[k + 1] : m] > "/dev/stderr"
        }
        ++loops
    }
    function floor(n,    i, f, highest) {
        if (n in floors) {
            return floors[n]
        }
        highest = 0
        for (i = 1; i <= outs[n]; i++) {
            f = floor(out[n, i])
            if (f > highest) {
                highest = f
            }
        }
        return floors[n] = highest + 1
    }
    END {
        for (i = 1; i <= count; i++) {
            if (!state[nodes[i]]) {
                visit(nodes[i])
            }
        }
        if (loops) {
            print "^ " loops " loop(s) between folders: rooms stack, so no folder includes, " \
                "through any others, a folder that includes it" > "/dev/stderr"
            exit 1
        }
        for (i = 1; i <= count; i++) {
            f = floor(nodes[i])
            line[f] = line[f] " " nodes[i]
            if (f > top) {
                top = f
            }
        }
        printf "%d folders, %d arrows between them, no loop. From the top floor down:\n", count, edges
        for (f = top; f >= 1; f--) {
            printf "%3d%s\n", f, line[f]
        }
    }'; then
    failed=1
fi

# never FOLDERS... -- PATTERN WHY: no source under the folders includes what PATTERN matches.
never() {
    local folders=() pattern why
    while [[ $1 != -- ]]; do folders+=("$root/$1"); shift; done
    pattern=$2 why=$3
    if grep -rnE --include='*.cpp' --include='*.h' --include='*.c' \
        "^\s*#\s*include [<\"]($pattern)" "${folders[@]}"; then
        echo "^ $why" >&2
        failed=1
    fi
}
# The rooms of platform/linux, as they are now.
mapfile -t rooms < <(find "$root/platform/linux" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort)
# Every room but these, as an include pattern.
rooms_but() {
    local room others=()
    for room in "${rooms[@]}"; do
        [[ " $* " == *" $room "* ]] || others+=("$room")
    done
    local IFS='|'
    echo "platform/linux/(${others[*]})/"
}

qt='Q[A-Za-z]|qt'
never engine container -- "app/|controls/|service/|settings/|window/|$qt" \
    "the engine and the list run without a window or Qt (tests, the service)"
never window -- "app/|win32/|controls/qt/|service/|settings/" \
    "the window's logic is both front ends': no toolkit, neither front end"
# The front ends are siblings over the same engine and window logic.
never app -- "win32/|platform/windows/" "the Qt window knows nothing of the Win32 one"
never win32 -- "app/|service/|controls/qt/|platform/linux/|$qt" \
    "the Win32 window knows nothing of the Qt one, nor of Linux"
never container -- "engine/|platform/" "the list knows nothing of connections"
# The OS-neutral interfaces and the rule entries' parser, which the helper links too.
if grep -nE "^\s*#\s*include [<\"](engine/|app/|controls/|container/|service/|settings/|platform/linux/|$qt)" \
    "$root"/platform/*.h "$root"/platform/*.cpp; then
    echo "^ platform/ itself is OS-neutral and Qt-free: the engine and the helper both use it" >&2
    failed=1
fi
# Windows' side, as Linux's readers: it fills rows and never judges. Of the engine it takes the
# interface of the settings store, which its registry store implements, and nothing else.
if grep -rnE --include='*.cpp' --include='*.h' \
    "^\s*#\s*include [<\"](engine/|app/|window/|win32/|controls/|service/|settings/|platform/linux/|$qt)" \
    "$root/platform/windows" | grep -v '#include "engine/SettingsStore.h"'; then
    echo "^ platform/windows/ fills rows and never judges: no engine, window or Qt" >&2
    failed=1
fi
never platform/linux -- "engine/|app/|controls/|container/|service/|settings/|$qt" \
    "Linux's side fills rows and never judges; the helper, quarnel-netns or the service links each room"
readers=()
for room in "${rooms[@]}"; do
    [[ $room == client ]] || readers+=("platform/linux/$room")
done
never "${readers[@]}" -- "platform/linux/client/" \
    "the program's side stands on the readers, never below them: the helper and the service link the readers"
never platform/linux/netns -- "$(rooms_but netns privileges)" \
    "quarnel-netns stays smaller still: its own protocol and privileges/ alone"
# What both privileged programs link beside their own code: quarnel-netns links nothing else, so
# it holds nothing of the table's side either.
if grep -rnE --include='*.cpp' --include='*.h' '^\s*#\s*include ["<]platform/' \
    "$root/platform/linux/privileges" |
    grep -vE '#\s*include ["<]platform/linux/(privileges/|UniqueFd\.h)'; then
    echo "^ privileges/ includes itself and UniqueFd.h alone: quarnel-netns links it" >&2
    failed=1
fi
never service -- "app/|controls/|platform/linux/helper/|$qt" \
    "the service shares code with the window program through settings/ and privileges/ only"
never app -- "service/" "the window program and the service share neutral libraries, not each other"
# Of the service, quarnelctl knows the facts it tells on the bus, and nothing else.
service_but_facts=$(find "$root/service" -maxdepth 1 -type f ! -name GuardFacts.h -printf 'service/%f|')
never quarnelctl -- "${service_but_facts}engine/|app/|controls/|container/|settings/|window/|win32/|platform/linux/|$qt" \
    "quarnelctl only reads the bus: of the service it knows the facts it tells there"

# The portable core, which Windows' build compiles too: the top of these folders (not their
# toolkit's or system's rooms, as controls/qt/) includes no Qt and no header of one system;
# what it needs of the system goes through platform/'s interfaces.
system_only='unistd\.h|poll\.h|fcntl\.h|dirent\.h|dlfcn\.h|pwd\.h|grp\.h|netdb\.h|ifaddrs\.h|'
system_only+='termios\.h|syslog\.h|pthread\.h|sched\.h|spawn\.h|endian\.h|byteswap\.h|'
system_only+='sys/|arpa/|netinet/|net/|linux/|bpf/|libmnl/|libnftnl/|systemd/|'
system_only+='windows\.h|winsock2\.h|ws2tcpip\.h|iphlpapi\.h|shellapi\.h|'
system_only+='platform/linux/|platform/windows/'
mapfile -t portable < <(cd "$root" && find container engine settings platform controls window \
    -maxdepth 1 \( -name '*.h' -o -name '*.cpp' \) | sort)
if (cd "$root" && grep -nE "^\s*#\s*include [<\"]($system_only|$qt)" "${portable[@]}"); then
    echo "^ the portable core (container/, engine/, settings/, platform/'s own files, window/ and" \
        "controls/ but its toolkit's rooms) builds for every system: no Qt, no system's header" >&2
    failed=1
fi

# What the helper was built from: none of the program's side, and no Qt loaded.
names='(HelperChannel|HelperProcess|HelperTcpTable|TcpTableSelection|OpenTcpTableSource|LinuxHostAddressSource|Engine|Manager|List|NamespaceServer|NamespaceOpener)'
if nm -C --defined-only "$helper" | grep -E "quarnel::(platform::)?$names(::|\()"; then
    echo "^ the helper holds code of the program's side or of quarnel-netns" >&2
    failed=1
fi
if readelf -d "$helper" | grep -E 'NEEDED.*\[libQt'; then
    echo "^ the helper loads Qt" >&2
    failed=1
fi
# What quarnel-netns was built from: not its service's side, nor anything that reads a table.
if nm -C --defined-only "$netns" |
    grep -E "quarnel::(platform::)?(NamespaceOpener|GiveUpNamespaceRights|SockDiag|LinuxTcpTable|HelperServer|HelperChannel|EventTcpTable|OwnedTcpTable|RulesFilter|DecodeRequest|Engine)"; then
    echo "^ quarnel-netns holds code of the service's side or of the table" >&2
    failed=1
fi
if readelf -d "$netns" | grep -E 'NEEDED.*\[libQt'; then
    echo "^ quarnel-netns loads Qt" >&2
    failed=1
fi
exit $failed
