#!/usr/bin/env bash
# quarnel-setup.exe as a Windows user's machine takes it: installed silently under Program
# Files with its Start-menu entry and its entry among the installed programs, the program
# started from there, and the uninstaller removing all of it while the user's rule lists stay.
# Arguments: the build's wine-run, quarnel-setup.exe, WindowProbe.exe; WINEPREFIX is the build's.
set -euo pipefail
wine_run=$1 setup=$2 probe_exe=$3
program_pid=''
installed="$WINEPREFIX/drive_c/Program Files/Quarnel"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quarnel.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quarnel'

source "$(dirname "$0")/ProgramDriving.sh"
gone() { [[ ! -e $1 ]]; }
trap end_program EXIT

"$wine_run" "$setup" /S || fail "the installer failed"
for file in quarnel.exe Uninstall.exe LICENSE.txt README.md; do
    [[ -f $installed/$file ]] || fail "not installed: $file"
done
[[ -f $shortcut ]] || fail "no Start-menu entry"
"$wine_run" reg query "$key" /v QuietUninstallString | grep 'Uninstall.exe" /S' >/dev/null ||
    fail "no entry among the installed programs"

# The program runs from where it was put, and keeps the user's rules in the registry.
"$wine_run" reg delete 'HKCU\Software\Quarnel' /f >/dev/null 2>&1 || true
"$wine_run" 'C:\Program Files\Quarnel\quarnel.exe' &
program_pid=$!
eventually shows 'program: C:\Program Files\Quarnel\quarnel.exe' || fail "it did not start from there"
close_program || fail "the program did not end"
stored 'AllowedIPString: 127.0.0.1,::1' || fail "no rules were kept"

# The uninstaller copies itself aside and ends at once; its copy removes the rest.
"$wine_run" 'C:\Program Files\Quarnel\Uninstall.exe' /S || fail "the uninstaller failed"
eventually gone "$installed" || fail "left behind: $(ls "$installed")"
gone "$shortcut" || fail "the Start-menu entry stayed"
"$wine_run" reg query "$key" >/dev/null 2>&1 && fail "the entry among the installed programs stayed"
stored 'AllowedIPString: 127.0.0.1,::1' || fail "the user's rules went too"
echo "installed, started and removed"
