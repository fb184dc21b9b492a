#!/usr/bin/env bash
# The Windows firmware writer's check: builds KOVALanZozeZaderi.exe and the
# stand-in MfgToolLib.dll (the mingw preset), runs the writer under Wine
# inside a private Xvfb, and drives it as a user would with xdotool (File
# Select.., the open dialog, Start, the final message box), once per scenario
# of the stand-in library. After each scenario the library's call log must
# match the writer's calling order exactly, and the outcome (messages,
# buttons, progress, closed pop-ups) must be the expected one.
#
# Everything lives in build/writer-check: the Wine prefix (made once, reused
# while it is there), the call logs, and the screenshots of each scenario's
# dialog while flashing and of its final message. Only processes started here
# are ended: the Xvfb by its PID, the Wine processes of the private prefix by
# `wineserver -k`.
#
# Run as root it installs the Debian packages it needs; otherwise, when one
# is missing, it prints "skipped: ..." and exits 0.
set -uo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build/writer-check
BUILD=$ROOT/build/mingw
export WINEPREFIX=$OUT/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or browser engine prompts
START_TIME=$(date +%s)

packages=(cmake ninja-build python3 g++-mingw-w64-x86-64 wine64 wine fonts-wine xvfb xdotool imagemagick)
missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: the writer check needs the Debian packages ${missing[*]} (run as root to install them)"
    exit 0
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || {
    echo "writer-check: installing ${missing[*]} failed" >&2
    exit 1
  }
fi

# ---- Build ---------------------------------------------------------------------------

echo "=== writer-check: build"
cmake --preset mingw >"$BUILD-configure.log" 2>&1 || { cat "$BUILD-configure.log"; exit 1; }
rm -f "$BUILD-configure.log"
cmake --build --preset mingw || exit 1

# ---- Results -------------------------------------------------------------------------

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# ---- Display and Wine ----------------------------------------------------------------

XVFB_PID=
WRITER_PID=
cleanup() {
  [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_xvfb() {
  local n
  for n in $(seq 90 199); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$OUT/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local i
    for i in $(seq 50); do
      if ! kill -0 "$XVFB_PID" 2>/dev/null; then
        break  # taken meanwhile by someone else: try the next number
      fi
      if [ -e "/tmp/.X11-unix/X$n" ] && DISPLAY=":$n" xdotool getdisplaygeometry >/dev/null 2>&1; then
        export DISPLAY=":$n"
        return 0
      fi
      sleep 0.1
    done
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=
  done
  return 1
}

mkdir -p "$OUT"
start_xvfb || { echo "writer-check: no free display for Xvfb" >&2; exit 1; }
echo "=== writer-check: Xvfb on $DISPLAY"

# One attempt at a fresh prefix: wineboot, the unmanaged-windows setting the
# xdotool clicks rely on, and a program run that proves kernel32 loads. Wine's
# errors go to the attempt's log (fixme lines aside), shown only on failure.
make_prefix_once() {
  [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
  WINEDEBUG=fixme-all WINEARCH=win64 wineboot -i >"$1" 2>&1 && wineserver -w &&
    WINEDEBUG=fixme-all wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$1" 2>&1 &&
    wineserver -w && WINEDEBUG=fixme-all wine cmd /c exit >>"$1" 2>&1 && wineserver -w
}

# A new prefix once came up without kernel32 on a CI machine ("could not load
# kernel32.dll", not reproduced here). An attempt costs about 16 s, so a
# failed one is thrown away with its Wine server and up to three are made
# before the check gives up.
make_prefix() {
  local attempt
  for attempt in 1 2 3; do
    if make_prefix_once "$OUT/wineboot-$attempt.log"; then
      touch "$WINEPREFIX/.writer-check-ready"
      return 0
    fi
    echo "writer-check: making the Wine prefix failed (attempt $attempt of 3):"
    grep -v '^$' "$OUT/wineboot-$attempt.log" | tail -n 20 | sed 's/^/    /'
    sleep 2
  done
  return 1
}

if [ ! -e "$WINEPREFIX/.writer-check-ready" ]; then
  echo "=== writer-check: making the Wine prefix"
  make_prefix || exit 1
fi

DRIVE_C=$WINEPREFIX/drive_c
WIN_USER=$(ls "$DRIVE_C/users" | grep -vx Public | head -n 1)
APP_DIR=$DRIVE_C/KOVALanZozeZaderi
TOOLS_WIN='C:\KOVALanZozeZaderi\Files'
EXE_WIN='C:\KOVALanZozeZaderi\KOVALanZozeZaderi.exe'
PROBE_WIN='C:\writer-check\winprobe.exe'
APPDATA_DIR=$DRIVE_C/users/$WIN_USER/AppData/Roaming
WORK_DIR=$APPDATA_DIR/Varnoth/DOZURIvudOzazuv
WORK_WIN="C:\\users\\$WIN_USER\\AppData\\Roaming\\Varnoth\\DOZURIvudOzazuv"

rm -rf "$APP_DIR" "$DRIVE_C/writer-check" "$DRIVE_C/packages"
mkdir -p "$APP_DIR/Files" "$DRIVE_C/writer-check" "$DRIVE_C/packages"
cp "$BUILD/writer/win32/KOVALanZozeZaderi.exe" "$BUILD/writer/mfgsim/MfgToolLib.dll" "$APP_DIR/"
cp "$ROOT/writer/mfgsim/ucl2.xml" "$APP_DIR/Files/"
cp "$BUILD/writer/mfgsim/winprobe.exe" "$DRIVE_C/writer-check/"

# The packages, made here with a builder of their own (not the writer's code).
python3 - "$DRIVE_C/packages" <<'PY'
import struct, sys
def package(members, kind, corrupt=False):
    area = b''
    for name, data in members:
        area += struct.pack('>I', len(data)) + name.encode().ljust(64, b'\0') + b'\0' * 4 + data
    checksum = sum(area) & 0xFFFFFFFF
    if corrupt:
        area = area[:-1] + bytes([area[-1] ^ 0x55])
    return b'TQZL' + struct.pack('>II', len(area), checksum) + bytes([0, 0, kind, 0]) + area
def blob(n, seed):
    return bytes((i * 7 + seed) & 0xFF for i in range(n))
out = sys.argv[1]
kinds = {
    'link-os.bin': (0, ['u-boot-link.imx', 'zImage-link', 'rootfs-link.tar.bz2']),
    'link-app.bin': (1, ['link-app.tar.bz2']),
    'server-os.bin': (2, ['u-boot-server.imx', 'zImage-server', 'rootfs-server.tar.bz2']),
    'server-app.bin': (3, ['server-app.tar.bz2']),
}
for file, (kind, names) in kinds.items():
    members = [(n, blob(3000 + 977 * i, i)) for i, n in enumerate(names)]
    open(f'{out}/{file}', 'wb').write(package(members, kind))
    if kind == 0:
        open(f'{out}/broken.bin', 'wb').write(package(members, kind, corrupt=True))
open(f'{out}/notes.bin', 'wb').write(b'These are release notes, not a firmware package.\n')
PY

# ---- Helpers ---------------------------------------------------------------------------

TITLE_DIALOG='KOVA LAN-UNIT Firmware Writer'
TITLE_MESSAGE='KOVALanZozeZaderi'

probe() { wine "$PROBE_WIN" "$@" 2>/dev/null | tr -d '\r'; }

# wait_window TITLE [SECONDS]: until a window with exactly that title shows.
wait_window() {
  local deadline=$((SECONDS + ${2:-15}))
  while [ $SECONDS -lt $deadline ]; do
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# wait_gone TITLE [SECONDS]
wait_gone() {
  local deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -lt $deadline ]; do
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}

# control TITLE FRAGMENT: the probe's line of the window's child that holds
# the fragment (for example 'id=1001 class="Button"').
control() { probe list "$1" | grep -F -- "$2" | head -n 1; }

field() { sed -n "s/.* $1=\\([^ ]*\\).*/\\1/p"; }

# click TITLE FRAGMENT: a left click in the middle of that control.
click() {
  local line rect x y w h
  line=$(control "$1" "$2")
  rect=$(field rect <<<"$line")
  [ -n "$rect" ] || { echo "no control $2 in \"$1\""; return 1; }
  IFS=, read -r x y w h <<<"$rect"
  xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
}

is_enabled() { [ "$(control "$TITLE_DIALOG" "id=$1 class" | field enabled)" = 1 ]; }
not() { ! "$@"; }
none_enabled() { ! is_enabled 1000 && ! is_enabled 1001 && ! is_enabled 1002; }

# choose_file PATH: File Select.., the path typed into the open dialog, Enter.
choose_file() {
  click "$TITLE_DIALOG" 'id=1000 class="Button"' || return 1
  wait_window Open || { echo "no open dialog"; return 1; }
  click Open 'id=1148 class="Edit"' || return 1
  xdotool type --delay 15 "$1"
  xdotool key Return
  wait_gone Open || { echo "the open dialog stayed"; return 1; }
}

# expect_message TEXT [SECONDS] [SHOT]: the writer's message box with exactly
# that text shows (screenshot taken when asked), then OK closes it.
expect_message() {
  wait_window "$TITLE_MESSAGE" "${2:-15}" || { echo "no message box (expected \"$1\")"; return 1; }
  local text
  text=$(control "$TITLE_MESSAGE" 'id=65535 class="Static"' | sed -n 's/.* text="\(.*\)" rect=.*/\1/p')
  [ -z "${3:-}" ] || import -window root "$3"
  click "$TITLE_MESSAGE" 'text="OK"' || return 1
  wait_gone "$TITLE_MESSAGE" || { echo "the message box stayed"; return 1; }
  [ "$text" = "$1" ] || { echo "message \"$text\", expected \"$1\""; return 1; }
}

# The stand-in's call log without time stamps and board events, and the
# number of board events of a kind.
calls() { sed -e 's/^\[ *[0-9]*\] //' "$LOG" | grep -v '^# '; }
events() { grep -c -F -- "] # $1" "$LOG"; }
event_time() { grep -F -- "$1" "$LOG" | head -n 1 | sed 's/^\[ *\([0-9]*\)\].*/\1/'; }

expect=()
expect_init() {
  expect+=('15 = 0' '17 out = 0' '19 "board" "sabresd" = 0' '19 "ldo" "" = 0' '19 "mmc" "0" = 0'
    "19 \"firm\" \"$WORK_WIN\" = 0" "19 \"local\" \"$TOOLS_WIN\" = 0" '1 1 "Linux" = 0' '4 1 1 = 0'
    "20 \"$WORK_WIN\\MfgTool.log\" = 0" "3 1 \"$TOOLS_WIN\\ucl2.xml\" = 0")
}
expect_package() {
  expect+=('14 1 0 fn = 0' '14 1 1 fn = 0' '6 1 = 0' "2 1 \"$1\" = 0" '5 1 = 0' '9 1 req = 0' '10 1 req = 0'
    '13 1 0 fn = 0' '13 1 1 fn = 0' '21 1 = 0')
}
expect_start() { expect+=('7 1 19201 = 0'); }
expect_stop() { expect+=('8 1 19201 = 0'); }
expect_close() { expect+=('14 1 0 fn = 0' '14 1 1 fn = 0' '6 1 = 0' '18 1 = 0' '16 = 0'); }

# check_calls WHAT: the log so far is exactly the expected calls (the writer
# may still be making them: given 5 s to get there).
check_calls() {
  local deadline=$((SECONDS + 5))
  until diff <(printf '%s\n' "${expect[@]}") <(calls) >"$SCEN_DIR/calls.diff" || [ $SECONDS -ge $deadline ]; do
    sleep 0.2
  done
  if [ ! -s "$SCEN_DIR/calls.diff" ]; then
    ok "$SCENARIO: calls $1"
  else
    fail "$SCENARIO: calls $1 differ (expected <, logged >):"
    sed 's/^/    /' "$SCEN_DIR/calls.diff"
    return 1
  fi
}

# check WHAT COMMAND...: one outcome.
check() {
  local what=$1
  shift
  if "$@"; then ok "$SCENARIO: $what"; else fail "$SCENARIO: $what"; return 1; fi
}

# The message box text after a run: the progress texts the library sent, in
# order, one line each.
expected_messages() {
  grep -F '] # progress status 1 ' "$LOG" | sed 's/.* done [0-9]* "\(.*\)"$/\1/' |
    sed 's/\\/\\\\/g' | awk '{ printf "%s\\r\\n", $0 }'
}
messages_shown() { control "$TITLE_DIALOG" 'id=1004 class="Edit"' | sed -n 's/.* text="\(.*\)" rect=.*/\1/p'; }

wait_events() {  # wait_events KIND COUNT SECONDS
  local deadline=$((SECONDS + $3))
  while [ $SECONDS -lt $deadline ]; do
    [ "$(events "$1")" -ge "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

wait_enabled() {  # wait_enabled ID SECONDS
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    is_enabled "$1" && return 0
    sleep 0.2
  done
  return 1
}

# Starts the writer for a scenario and checks its library start-up.
start_writer() {
  SCEN_DIR=$OUT/$SCENARIO
  rm -rf "$SCEN_DIR" "$APPDATA_DIR/Varnoth"
  mkdir -p "$SCEN_DIR"
  LOG=$SCEN_DIR/calls.log
  : >"$LOG"
  expect=()
  MFGSIM_SCENARIO=$SCENARIO MFGSIM_CALL_LOG="Z:${LOG//\//\\}" wine "$EXE_WIN" >"$SCEN_DIR/writer.out" 2>&1 &
  WRITER_PID=$!
  wait_window "$TITLE_DIALOG" 20 || { fail "$SCENARIO: the writer's dialog did not show"; return 1; }
  expect_init
  check_calls "at start-up" || return 1
  check "working folder made" test -d "$WORK_DIR"
  check "Start disabled without a package" not is_enabled 1001
}

# Loads a package and checks that the library was prepared with its list.
load_package() {
  choose_file "C:\\packages\\$1" || { fail "$SCENARIO: choosing $1: see above"; return 1; }
  expect_package "$2"
  check_calls "for $1 (list $2)"
}

# Closes the writer and checks the library's shut-down.
close_writer() {
  click "$TITLE_DIALOG" 'id=1002 class="Button"' || return 1
  wait_gone "$TITLE_DIALOG" || { fail "$SCENARIO: Close did not end the writer"; return 1; }
  local i
  for i in $(seq 100); do kill -0 "$WRITER_PID" 2>/dev/null || break; sleep 0.1; done
  check "the writer ended" not kill -0 "$WRITER_PID" 2>/dev/null
  [ -z "$WRITER_PID" ] || wait "$WRITER_PID" 2>/dev/null
  WRITER_PID=
  expect_close
  check_calls "in full, with the shut-down"
}

# Close, the caption's close box and Escape during a run: none may end it.
close_while_flashing() {
  local rect x y w h
  rect=$(probe list "$TITLE_DIALOG" | sed -n '1s/.* rect=\([^ ]*\).*/\1/p')
  IFS=, read -r x y w h <<<"$rect"
  click "$TITLE_DIALOG" 'id=1002 class="Button"'
  xdotool mousemove $((x + w - 14)) $((y + 11)) click 1
  xdotool key Escape
  sleep 0.5
  check "Close, the close box and Escape do nothing while flashing" wait_window "$TITLE_DIALOG" 1
}

# The about box through the system menu's last item.
about_box() {
  local rect x y w h
  rect=$(probe list "$TITLE_DIALOG" | sed -n '1s/.* rect=\([^ ]*\).*/\1/p')
  IFS=, read -r x y w h <<<"$rect"
  xdotool mousemove $((x + 12)) $((y + 11)) click 1  # the caption's icon
  sleep 0.5
  rect=$(probe list | grep -F 'class="#32768"' | head -n 1 | field rect)
  [ -n "$rect" ] || { echo "no system menu"; return 1; }
  IFS=, read -r x y w h <<<"$rect"
  xdotool mousemove $((x + w / 2)) $((y + h - 12)) click 1
  wait_window "About KOVALanZozeZaderi" 5 || { echo "no about box"; return 1; }
  control "About KOVALanZozeZaderi" 'id=1010 class="Static" text="KOVALanZozeZaderi Version 1.0"' | grep -q . ||
    { echo "the about box's text differs"; return 1; }
  click "About KOVALanZozeZaderi" 'text="OK"'
  wait_gone "About KOVALanZozeZaderi"
}

# ---- Scenarios ---------------------------------------------------------------------------

# A board present from the start: broken packages first, then a link unit
# operating system; pop-ups raised during the run; success.
scenario_present() {
  export MFGSIM_STEP_MS=500
  start_writer || return 1
  check "the system menu opens the about box" about_box
  choose_file 'C:\packages\broken.bin' || return 1
  check "a damaged package shows the checksum message" \
    expect_message "WARNING: Checksum error. File might be broken."
  choose_file 'C:\packages\notes.bin' || return 1
  check "a file that is no package says so" expect_message "WARNING: This file is not a KOVA LAN-UNIT firmware"
  check_calls "untouched by the broken packages" || return 1
  check "Start stays disabled after broken packages" not is_enabled 1001

  load_package link-os.bin eMMC-TQZ-Link-Linux || return 1
  check "Start enabled with a board and a package" is_enabled 1001

  # A dialog open before Start is never closed, whatever its title.
  wine "$PROBE_WIN" popup "Microsoft Windows" "A dialog that was here first" >"$SCEN_DIR/old-popup.out" 2>&1 &
  local old_popup=$!
  wait_window "Microsoft Windows" || { fail "$SCENARIO: the old pop-up did not show"; return 1; }

  click "$TITLE_DIALOG" 'id=1001 class="Button"'
  expect_start
  check "flashing begins" wait_events "progress status 1" 3 10 || return 1
  import -window "$(xdotool search --name "^$TITLE_DIALOG\$" | head -n 1)" "$SCEN_DIR/flashing.png"
  check "buttons disabled while flashing" none_enabled
  close_while_flashing

  # A new pop-up naming drive E: stays until E: arrives, then is closed.
  wine "$PROBE_WIN" popup "Removable Disk" "You need to format the disk in drive (E:) before you can use it." \
    >"$SCEN_DIR/new-popup.out" 2>&1 &
  local new_popup=$!
  wait_window "Removable Disk" || { fail "$SCENARIO: the new pop-up did not show"; return 1; }
  sleep 0.4
  check "a pop-up of a drive that did not arrive stays" wait_window "Removable Disk" 1
  probe arrive "$TITLE_DIALOG" E
  check "the pop-up of the arrived drive E: is closed" wait_gone "Removable Disk" 3
  check "the dialog that was there before Start stays" wait_window "Microsoft Windows" 1

  check "success message" expect_message "Firmware Update completed" 15 "$SCEN_DIR/final-message.png" || return 1
  expect_stop
  check_calls "up to the run end" || return 1
  check "progress bar hidden after the run" test "$(control "$TITLE_DIALOG" 'id=1003 class' | field visible)" = 0
  check "progress at 100" test "$(control "$TITLE_DIALOG" 'id=1003 class' | field pos)" = 100
  check "Start enabled again with the board still there" is_enabled 1001
  check "every step's message shown in order" test "$(messages_shown)" = "$(expected_messages)"
  check "ten steps played" test "$(events "progress status 1")" = 10

  # The old pop-up may lie under the writer now, out of a click's reach:
  # ended by its PID instead.
  kill "$old_popup" 2>/dev/null
  wait "$old_popup" "$new_popup" 2>/dev/null
  close_writer
}

# The board arrives after the package is loaded: a link unit application.
scenario_late() {
  export MFGSIM_STEP_MS=200 MFGSIM_ARRIVAL_MS=3000
  start_writer || return 1
  load_package link-app.bin eMMC-TQZ-Link-App || return 1
  check "Start disabled until the board arrives" not is_enabled 1001
  check "Start enabled when the board arrives" wait_enabled 1001 10 || return 1
  check "the board's arrival came from the library" test "$(events "device state 0")" = 1
  click "$TITLE_DIALOG" 'id=1001 class="Button"'
  expect_start
  check "flashing begins" wait_events "progress status 1" 2 10
  import -window "$(xdotool search --name "^$TITLE_DIALOG\$" | head -n 1)" "$SCEN_DIR/flashing.png"
  check "success message" expect_message "Firmware Update completed" 15 "$SCEN_DIR/final-message.png" || return 1
  expect_stop
  check "seven steps played" test "$(events "progress status 1")" = 7
  close_writer
}

# The board is pulled in the middle for good: a server unit operating system.
scenario_unplug() {
  export MFGSIM_STEP_MS=200
  start_writer || return 1
  load_package server-os.bin eMMC-TQZ-Server-Linux || return 1
  click "$TITLE_DIALOG" 'id=1001 class="Button"'
  expect_start
  check "the board is pulled" wait_events "board unplugged" 1 15 || return 1
  sleep 1
  import -window "$(xdotool search --name "^$TITLE_DIALOG\$" | head -n 1)" "$SCEN_DIR/flashing.png"
  # Pulled at step 6 of 10: 2 loader and 3 updater steps done.
  check "progress at 50 while the board is away" \
    test "$(control "$TITLE_DIALOG" 'id=1003 class' | field pos)" = 50
  close_while_flashing
  check "failure message" expect_message "WARNING: Firmware update failed" 25 "$SCEN_DIR/final-message.png" ||
    return 1
  expect_stop
  check_calls "up to the run end" || return 1
  local away=$(($(event_time '8 1 19201') - $(event_time 'board unplugged')))
  echo "    the run ended ${away} ms after the board was pulled"
  check "the run ends as a failure 15 s after the board went" test "$away" -ge 14800 -a "$away" -le 17500
  check "Start disabled without a board" not is_enabled 1001
  close_writer
}

# A command fails: a server unit application.
scenario_fail() {
  export MFGSIM_STEP_MS=200
  start_writer || return 1
  load_package server-app.bin eMMC-TQZ-Server-App || return 1
  click "$TITLE_DIALOG" 'id=1001 class="Button"'
  expect_start
  check "flashing begins" wait_events "progress status 1" 2 10
  import -window "$(xdotool search --name "^$TITLE_DIALOG\$" | head -n 1)" "$SCEN_DIR/flashing.png"
  check "failure message" expect_message "WARNING: Firmware update failed" 15 "$SCEN_DIR/final-message.png" ||
    return 1
  expect_stop
  check "the library reported the failed command" test "$(events "command failed at step 4")" = 1
  check "only the finished commands' messages are shown" test "$(messages_shown)" = "$(expected_messages)"
  check "Start enabled again with the board still there" is_enabled 1001
  close_writer
}

# ---- Run -----------------------------------------------------------------------------------

echo "=== writer-check: resources"
probe resources "$EXE_WIN" >"$OUT/resources.txt"
cat >"$OUT/resources.expected" <<'EOF'
dialog 102 "KOVA LAN-UNIT Firmware Writer" 0,0,213,223 font "Tahoma" 9
  control 1000 button "File Select.." 6,12,60,24 visible
  control 1001 button "Start" 72,12,60,24 visible
  control 1002 button "Close" 159,195,50,24 visible
  control 1003 MSCTLS_PROGRESS32 "" 6,45,198,11 hidden
  control 1004 edit "" 6,60,198,129 visible disabled multiline autovscroll
dialog 100 "About KOVALanZozeZaderi" 0,0,235,55 font "Tahoma" 9
  control -1 static "#128" 11,17,0,0 visible
  control 1010 static "KOVALanZozeZaderi Version 1.0" 40,14,130,8 visible
  control 1 button "OK" 178,7,50,16 visible default
EOF
SCENARIO=resources
if diff "$OUT/resources.expected" <(grep -v '^string' "$OUT/resources.txt"); then
  ok "resources: dialog templates"
else
  fail "resources: dialog templates differ (expected <, compiled >)"
fi
if grep -q DIFFERS "$OUT/resources.txt" || [ "$(grep -c '^string' "$OUT/resources.txt")" -ne 14 ]; then
  fail "resources: string table"
  grep '^string' "$OUT/resources.txt" | sed 's/^/    /'
else
  ok "resources: string table 101-114 is the writer's"
fi

for SCENARIO in present late unplug fail; do
  echo "=== writer-check: scenario $SCENARIO"
  t0=$SECONDS
  if ! "scenario_$SCENARIO"; then
    fail "$SCENARIO: stopped early"
    import -window root "$OUT/$SCENARIO/stopped.png" 2>/dev/null
  fi
  wineserver -k >/dev/null 2>&1  # nothing of one scenario is left for the next
  [ -z "$WRITER_PID" ] || wait "$WRITER_PID" 2>/dev/null
  WRITER_PID=
  echo "    $((SECONDS - t0)) s"
done

echo
echo "=== writer-check: screenshots"
for f in "$OUT"/*/flashing.png "$OUT"/*/final-message.png; do
  [ -e "$f" ] && echo "  ${f#"$ROOT"/}"
done
echo "writer-check: $passed passed, $failed failed ($(($(date +%s) - START_TIME)) s)"
[ "$failed" -eq 0 ]
