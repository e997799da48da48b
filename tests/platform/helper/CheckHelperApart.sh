#!/usr/bin/env bash
# quarnel-helper stays apart from the program: its own sources include nothing of the client,
# the engine, the window or Qt, and the built helper holds none of their code and loads no Qt.
# Arguments: the helper's source folder and the built helper.
set -euo pipefail
sources=$1 helper=$2
failed=0

client='platform/linux/(HelperChannel|HelperProcess|HelperTcpTable|TcpTableSelection|LinuxHostAddressSource)\.h'
if grep -nE "#include [<\"](app/|engine/|controls/|container/|Q|qt|$client)" "$sources"/*.cpp "$sources"/*.h; then
    echo "the helper's sources above include what the helper must not" >&2
    failed=1
fi
names='(HelperChannel|HelperProcess|HelperTcpTable|TcpTableSelection|OpenTcpTableSource|LinuxHostAddressSource|Engine|Manager|List)'
if nm -C --defined-only "$helper" | grep -E "quarnel::(platform::)?$names(::|\()"; then
    echo "the helper above holds code of the program's side" >&2
    failed=1
fi
if readelf -d "$helper" | grep -E 'NEEDED.*\[libQt'; then
    echo "the helper loads Qt" >&2
    failed=1
fi
exit $failed
