# shellcheck shell=bash disable=SC2154
# Sourced by the tests that drive the Win32 program under Wine: asking the running window what
# it shows (WindowProbe), waiting with a deadline, and ending the program however a test ends.
# The sourcing test sets wine_run and probe_exe, and program_pid once it started the program.

probe() { "$wine_run" "$probe_exe" "$@"; }
# Says how far the test got, for a failure's output.
step() { echo "== $*" >&2; }
# Ends the test as failed, saying why and what the window shows; on_failure, where the test
# defines it, keeps what else helps.
fail() {
    echo "FAILED: $*" >&2
    probe state >&2 || true
    if declare -F on_failure >/dev/null; then on_failure; fi
    exit 1
}
# Asks CMD... again until it succeeds, for at most 30 s.
eventually() {
    local deadline=$((SECONDS + 30))
    until "$@" >/dev/null 2>&1; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}
# Whether the window shows this line of WindowProbe's state, or the store holds this one.
shows() { probe state | grep -qxF -- "$1"; }
stored() { probe stored | grep -qxF -- "$1"; }
# Closes the program as its window's close does, and waits for it to end; false when it did not.
close_program() {
    probe close || return 1
    for _ in $(seq 150); do
        kill -0 "$program_pid" 2>/dev/null || { program_pid=''; return 0; }
        sleep 0.2
    done
    return 1
}
# A program a failed test left running is closed, or ended.
end_program() {
    if [[ -n ${program_pid:-} ]] && kill -0 "$program_pid" 2>/dev/null; then
        close_program >/dev/null 2>&1 || "$wine_run" taskkill /f /im quarnel.exe >/dev/null 2>&1 || true
    fi
}
