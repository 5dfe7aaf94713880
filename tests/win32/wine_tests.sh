#!/usr/bin/env bash
# The Windows programs end to end under wine, against the virtual unit on
# COM1 (and COM12). Run by scripts/test-windows.sh on a virtual display, after the builds:
#   wine_tests.sh NATIVE_BUILD WINDOWS_BUILD LOG_DIR
# Every case prints one line, PASS or FAIL, with its time; the details are in
# LOG_DIR. Exits non-zero when any case fails.
set -uo pipefail

if [[ -z ${DISPLAY:-} ]]; then
  echo "wine_tests.sh: no display; run it under xvfb-run, as scripts/test-windows.sh does" >&2
  exit 1
fi

native=$(realpath "$1")
windows=$(realpath "$2")
logs=$(realpath -m "$3")
source_dir=$(realpath "$(dirname "$0")/../..")
examples=$source_dir/examples
version=$(sed -n 's/^project(qsr470 VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")

unitsim=$native/sim/qsr470-unitsim
updater=$native/app/cli/qsr470-update
check_report=$native/tests/e2e/qsr470-check-unit-report
driver=$windows/tests/win32/window_driver.exe
setup=$windows/QSR470Updater-$version-setup.exe
zip=$windows/QSR470Updater-$version.zip

export WINEPREFIX=$windows/wineprefix
export WINEDEBUG=-all
# The virtual unit's terminals, under names that stay the same from run to
# run, so COM1 and COM12 are mapped once. A unit starts on unit_tty.
tty=$logs/com1
tty12=$logs/com12
unit_tty=$tty

failed=0
unit_pid=
case_name=
case_start=0
trap '[[ -n $unit_pid ]] && kill "$unit_pid" 2>/dev/null; wineserver -k 2>/dev/null' EXIT

# --- helpers ---

fail() {  # message
  echo "  $case_name: $*" | tee -a "$logs/$case_name.log" >&2
  case_ok=0
}

begin() {  # name, what it shows
  case_name=$1
  case_ok=1
  case_notes=()
  case_start=$SECONDS
  : >"$logs/$case_name.log"
  echo "-- $1: $2" >>"$logs/$case_name.log"
}

end() {
  local took=$((SECONDS - case_start))
  if ((case_ok)); then
    local IFS=';'
    printf '  %-16s PASS  %3d s  %s\n' "$case_name" "$took" "${case_notes[*]}"
  else
    printf '  %-16s FAIL  %3d s  (see %s)\n' "$case_name" "$took" "$logs/$case_name.log"
    failed=1
  fi
}

# Polls a command until it succeeds or SECONDS_ seconds have passed.
note() {  # what a check saw, for the summary line and the log
  case_notes+=(" $*")
  echo "seen: $*" >>"$logs/$case_name.log"
}

wait_until() {  # seconds, command...
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

winpath() {  # a Linux path as wine's Z: drive shows it
  local path=${1//\//\\}
  printf 'Z:%s' "$path"
}

# The unit serves one run and ends once the updater has let go of the line;
# its own deadline bounds a run that never lets go.
start_unit() {  # report name, unit options...
  local name=$1
  shift
  rm -f "$logs/$name.json" "$logs/$name.out"
  timeout 240 "$unitsim" --link "$unit_tty" --report "$logs/$name.json" "$@" \
    >"$logs/$name.out" 2>>"$logs/$case_name.log" &
  unit_pid=$!
  wait_until 30 test -s "$logs/$name.out" || fail "the virtual unit did not start"
}

finish_unit() {
  local status=0
  wait "$unit_pid" || status=$?
  unit_pid=
  ((status == 0)) || fail "the virtual unit ended with status $status (124: it was still being served after 240 s)"
}

check_report() {  # report name, checker options...
  local name=$1
  shift
  if "$check_report" "$@" "$logs/$name.json" "$examples" >>"$logs/$case_name.log" 2>&1; then
    note "unit report matches the files${*:+ ($*)}"
  else
    fail "the unit's report does not match the files (details above in the log)"
  fi
}

same_file() {  # what, expected, seen
  if diff -u "$2" "$3" >>"$logs/$case_name.log" 2>&1; then
    note "$1 as on Linux ($(wc -l <"$3") lines)"
  else
    fail "$1 differs from the Linux run"
  fi
}

same_report() {  # what, expected, seen: the unit's reports, less the timing no two runs share
  local strip='import json, sys
report = json.load(open(sys.argv[1]))
report.pop("timing", None)
print(json.dumps(report, indent=1, sort_keys=True))'
  python3 -c "$strip" "$2" >"$3.linux-compared" && python3 -c "$strip" "$3" >"$3.compared" ||
    fail "$1: a report that is not JSON"
  same_file "$1" "$3.linux-compared" "$3.compared"
}

wine_update() {  # output name, arguments...: the Windows command line on COM1
  local name=$1
  shift
  timeout 300 wine "$windows/app/cli/qsr470-update.exe" --port 1 --files "$(winpath "$examples/")" "$@" \
    >"$logs/$name.stdout" 2>"$logs/$name.stderr"
  local status=$?
  sed -i 's/\r$//' "$logs/$name.stdout" "$logs/$name.stderr"
  return $status
}

linux_update() {  # output name, arguments...: the same run on Linux, for reference
  local name=$1
  shift
  timeout 300 "$updater" --device "$tty" --files "$examples/" "$@" \
    >"$logs/$name.stdout" 2>"$logs/$name.stderr"
}

driver() {  # scenario, arguments...
  local before
  before=$(wc -l <"$logs/$case_name.log")
  if timeout 400 wine "$driver" "$@" >>"$logs/$case_name.log" 2>/dev/null; then
    note "driver: $(tail -n +$((before + 1)) "$logs/$case_name.log" | grep -c '^ok: ') checks held"
  else
    fail "the driver found faults (FAIL lines in the log)"
  fi
}

# --- the prefix: fresh every time, wine's fonts, COM1 on the unit ---

mkdir -p "$logs"
rm -f "$logs"/*.json "$logs"/*.log "$logs"/*.bmp
begin prefix "a fresh wine prefix with wine's fonts, COM1 mapped to $tty and COM12 to $tty12"
wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"
timeout 300 wineboot -i >>"$logs/prefix.log" 2>&1 || fail "wineboot could not make the prefix"
timeout 120 wineserver -w
# Captions and controls are drawn with real fonts, not a fallback.
if compgen -G "/usr/share/wine/fonts/*" >/dev/null; then
  cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
else
  fail "wine's fonts are missing (Debian fonts-wine)"
fi
# Wine makes its COMn devices from this key each time it starts, and lists
# them under HARDWARE\DEVICEMAP\SERIALCOMM, where the Port menu looks. Without
# a window manager on the display, wine draws the frames itself, so the
# screenshot shows the title bar.
cat >"$logs/prefix.reg" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]
"COM1"="${tty}"
"COM12"="${tty12}"

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
"Decorated"="N"
EOF
timeout 120 wine regedit /S "$(winpath "$logs/prefix.reg")" >>"$logs/prefix.log" 2>&1 ||
  fail "the registry could not be written"
timeout 120 wineserver -w
end

# --- the command line ---

begin cli-version "qsr470-update.exe --version reads its version resource; a file or folder as --device is refused at once"
said=$(timeout 300 wine "$windows/app/cli/qsr470-update.exe" --version 2>>"$logs/cli-version.log" | tr -d '\r')
note "said \"$said\""
[[ $said == "qsr470-update $version" ]] || fail "said '$said', expected 'qsr470-update $version'"
# Neither can ever become a port, so waiting for one would be for ever; the
# deadline only bounds a failure.
echo "not a port" >"$WINEPREFIX/drive_c/not-a-port.txt"
for refused in 'C:\not-a-port.txt|a regular file' 'C:\windows|a directory'; do
  device=${refused%|*}
  timeout 60 wine "$windows/app/cli/qsr470-update.exe" --device "$device" "$(winpath "$examples/script.ini")" \
    >/dev/null 2>"$logs/cli-version-device.stderr"
  status=$?
  why=$(tr -d '\r' <"$logs/cli-version-device.stderr")
  if ((status == 2)) && [[ $why == "qsr470-update: --device $device is ${refused#*|}, not a serial port" ]]; then
    note "--device $device: exit 2, \"${refused#*|}\""
  else
    fail "--device $device: exit status $status (124: still trying after 60 s), stderr '$why', expected 2 and the reason"
  fi
done
end

begin cli-sample "the sample script on COM1, the unit's report identical to the Linux run"
start_unit linux-sample-unit
linux_update linux-sample "$examples/script.ini" || fail "the Linux reference run failed"
finish_unit
start_unit cli-sample-unit
wine_update cli-sample "$(winpath "$examples/script.ini")" || fail "exit status $?, expected 0"
finish_unit
check_report cli-sample-unit
same_report "the unit's report" "$logs/linux-sample-unit.json" "$logs/cli-sample-unit.json"
same_file "the status lines" "$logs/linux-sample.stdout" "$logs/cli-sample.stdout"
end

begin cli-slow "--speed slow: the PROM transfers at 19200 baud and back"
start_unit cli-slow-unit
wine_update cli-slow --speed slow "$(winpath "$examples/script.ini")" || fail "exit status $?, expected 0"
finish_unit
check_report cli-slow-unit --slow
end

begin cli-error "the unit answers X to the erase of bank 1: exit 1 with the handler's text, as on Linux"
start_unit linux-error-unit --fail-at P1
linux_update linux-error "$examples/script.ini"
linux_status=$?
finish_unit
start_unit cli-error-unit --fail-at P1
wine_update cli-error "$(winpath "$examples/script.ini")"
status=$?
finish_unit
note "exit status $status, stderr \"$(tail -n 1 "$logs/cli-error.stderr")\""
((status == 1 && linux_status == 1)) || fail "exit status $status (Linux $linux_status), expected 1"
[[ $(tail -n 1 "$logs/cli-error.stderr") == "Error while erasing !!!" ]] ||
  fail "the last line on stderr is not the handler's text"
same_file "the error text" "$logs/linux-error.stderr" "$logs/cli-error.stderr"
same_report "the unit's report" "$logs/linux-error-unit.json" "$logs/cli-error-unit.json"
end

begin cli-signed "a job signed by minisign here verifies under Windows; a changed byte does not"
signed=$logs/signed-job
rm -rf "$signed" && mkdir -p "$signed/job"
cp "$examples"/* "$signed/job/"
(cd "$signed/job" &&
  minisign -G -W -p ../factory.pub -s ../factory.key &&
  sha256sum script.ini boot.hex keyb0.hex keyb1.hex keyb2.hex keyb3.hex prom1.svf prom2.svf >SHA256SUMS &&
  minisign -S -s ../factory.key -t "QSR470 job for units A470" -m SHA256SUMS) \
  >>"$logs/cli-signed.log" 2>&1 || fail "minisign could not sign the job"
signed_check() {  # output name
  timeout 300 wine "$windows/app/cli/qsr470-update.exe" --check \
    --trusted-key "$(winpath "$signed/factory.pub")" --files "$(winpath "$signed/job/")" \
    "$(winpath "$signed/job/script.ini")" >"$logs/$1.stdout" 2>"$logs/$1.stderr"
}
signed_check cli-signed || fail "the signed job was refused: $(tr -d '\r' <"$logs/cli-signed.stderr")"
grep -q "signer: key .*(QSR470 job for units A470)" "$logs/cli-signed.stdout" ||
  fail "--check did not name the signer"
printf 'x' >>"$signed/job/prom2.svf"
signed_check cli-signed-changed && fail "a changed file was accepted"
grep -q "prom2.svf does not match the job's SHA256SUMS !!!" "$logs/cli-signed-changed.stderr" ||
  fail "the changed file was not named"
end

# --- the window ---

# Without an argument the program runs script.ini from its own folder.
window_dir=$logs/window
rm -rf "$window_dir"
mkdir -p "$window_dir"
cp "$windows/app/win32/QSR470Updater.exe" "$windows"/app/win32/*.dll "$examples"/* "$window_dir/"
window_exe=$(winpath "$window_dir/QSR470Updater.exe")

begin window-run "layout, title, idle look, START to completion, Quit"
start_unit window-run-unit
driver run "$window_exe" --shot "$(winpath "$logs/window-idle.bmp")"
finish_unit
check_report window-run-unit
same_report "the unit's report" "$logs/linux-sample-unit.json" "$logs/window-run-unit.json"
end

begin window-manual "Manual mode with Prom 2 unticked: P5, V5 and F5 go as NP; the box stays unticked"
start_unit linux-skip-unit
linux_update linux-skip --skip prom2 "$examples/script.ini" || fail "the Linux reference run failed"
finish_unit
start_unit window-manual-unit
driver manual "$window_exe"
finish_unit
check_report window-manual-unit --skip 5
same_report "the unit's report" "$logs/linux-skip-unit.json" "$logs/window-manual-unit.json"
end

begin window-fault "X at the erase of bank 1: the error box, the port closed, the program ends"
start_unit window-fault-unit --fail-at P1
driver fault "$window_exe" --error "Error while erasing !!!" \
  --port-closed "$(winpath "$logs/window-fault-unit.json")"
finish_unit
same_report "the unit's report" "$logs/linux-error-unit.json" "$logs/window-fault-unit.json"
end

begin window-job "a job in a folder of its own as the argument, on COM12 chosen from the Port menu"
# The program with the libraries it loads, as in the install folder, and
# the job elsewhere.
install_dir=$logs/install
job_dir=$logs/job1
rm -rf "$install_dir" "$job_dir"
mkdir -p "$install_dir" "$job_dir"
cp "$windows/app/win32/QSR470Updater.exe" "$windows"/app/win32/*.dll "$install_dir/"
cp "$examples"/* "$job_dir/"
unit_tty=$tty12
start_unit window-job-unit
# COM12 is the last port the menu lists: COM1 and COM2 are wine's own.
driver job "$(winpath "$install_dir/QSR470Updater.exe")" --script "$(winpath "$job_dir/script.ini")"
finish_unit
unit_tty=$tty
check_report window-job-unit
same_report "the unit's report" "$logs/linux-sample-unit.json" "$logs/window-job-unit.json"
end

begin window-slowstop "STOP during a PROM transfer at 19200 baud, then START: the run completes"
# Paced, so the transfer can be caught half-way; the unit starts again with
# the next open, at 57600 baud, as one restarted with ENTER held does.
start_unit window-slowstop-unit --pace --forever
driver slowstop "$window_exe"
kill -TERM "$unit_pid" 2>/dev/null
finish_unit
# Two runs, the first stopped: one S4 more than a single run sends, and the
# unit ended by the signal rather than by the updater letting go.
"$check_report" --slow "$logs/window-slowstop-unit.json" "$examples" >"$logs/window-slowstop.check" 2>&1
if grep -v -e 'ended_by: signal, expected updater-closed' -e 'S4/S5 commands: 3, expected 2' \
  "$logs/window-slowstop.check" >>"$logs/$case_name.log"; then
  fail "the unit's report does not match the files (details above in the log)"
else
  note "unit report matches the files (--slow) but for the stopped run"
fi
end

begin window-close "the window closed as the system menu does ends the program with status 0"
timeout 300 bash "$source_dir/app/win32/wine_smoke.sh" "$window_dir/QSR470Updater.exe" \
  >>"$logs/window-close.log" 2>&1 && note "ended with status 0" ||
  fail "the program did not open and close cleanly"
end

# --- the installer ---

program_files="$WINEPREFIX/drive_c/Program Files/Corvane/QSR470 Updater"
start_menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Corvane"
shortcut="$start_menu/QSR470 Updater.lnk"
readme_shortcut="$start_menu/QSR470 Updater README.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvane QSR470 Updater'

begin installer "silent install, the installed window reads its version, silent uninstall that keeps a technician's key"
timeout 300 wine "$setup" /S >>"$logs/installer.log" 2>&1 || fail "the installer ended with status $?"
# The zip and the installer carry the same files.
files=0
while IFS= read -r file; do
  files=$((files + 1))
  [[ -f "$program_files/$file" ]] || fail "not installed: $file"
done < <(unzip -Z1 "$zip" | sed -n 's|^[^/]*/\(.*[^/]\)$|\1|p')
note "$files files of the zip installed"
[[ -f "$program_files/Uninstall.exe" ]] || fail "no uninstaller"
[[ -f $shortcut ]] || fail "no Start-menu shortcut"
[[ -f $readme_shortcut ]] || fail "no Start-menu shortcut to the README"
[[ -d $program_files/keys ]] || fail "no keys folder"
timeout 120 wine reg query "$uninstall_key" >>"$logs/installer.log" 2>&1 ||
  fail "not listed among the installed programs"
driver about 'C:\Program Files\Corvane\QSR470 Updater\QSR470Updater.exe' --version "$version"
# A key a technician added, which uninstalling must leave with its folders.
technician_key=$program_files/keys/technician.pub
echo "untrusted comment: a technician's key" >"$technician_key"
# The uninstaller runs from a copy of itself and returns at once.
timeout 120 wine "$program_files/Uninstall.exe" /S >>"$logs/installer.log" 2>&1 ||
  fail "the uninstaller ended with status $?"
uninstalled=$SECONDS
# With a key left the folder stays: the uninstaller is through once its
# shortcuts and, its last step, the programs' listing are gone.
shortcuts_gone() { [[ ! -e $shortcut && ! -e $readme_shortcut ]]; }
unlisted() { ! timeout 120 wine reg query "$uninstall_key" >/dev/null 2>&1; }
if wait_until 120 shortcuts_gone && wait_until 120 unlisted; then
  note "uninstalled $((SECONDS - uninstalled)) s after the uninstaller started"
else
  fail "shortcuts or the listing still there 120 s after uninstalling"
fi
left=$(cd "$(dirname "$program_files")" && find . -mindepth 1 | sort | tr '\n' ' ')
if [[ $left == "./QSR470 Updater ./QSR470 Updater/keys ./QSR470 Updater/keys/technician.pub " ]]; then
  note "only the technician's key left, in its folders"
else
  fail "after uninstalling, expected only the technician's key in its folders, found: $left"
fi
rm -rf "$(dirname "$program_files")"
end

timeout 120 wineserver -w
exit $failed
