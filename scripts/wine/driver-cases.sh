# shellcheck shell=bash
# The driver cases of every Wine 10 tier, written once for both
# architectures: sourced by scripts/wine/root-job.sh inside the Wine 10 root
# of the images' architecture (amd64: the x86_64 images; i386: the i686
# images, natively or in the emulated PC), with /tower/dist (the images),
# /tower/checks (quenta-setup.exe, abi-check.exe), /tower/work (outputs)
# and /tower/lib (the libusb-1.0 stand-in of that architecture) in place.
# The caller has sourced cases-lib.sh and set WINESERVER.
#
# Wine's USB bus driver (wineusb.sys) runs in a winedevice.exe whose Unix
# side loads libusb-1.0.so.0 from LD_LIBRARY_PATH: the stand-in, whose towers
# are plugged and unplugged by command files in TOWER_LIBUSB_STANDIN. When a
# tower arrives, Wine's Plug and Play matches its hardware id
# USB\VID_0F5C&PID_0001 against the INF store (%windir%\inf), where Quenta
# put Ostrel.inf with SetupCopyOEMInf (the driver store keeps Ostrel.sys),
# installs the QIROUSBTower service and loads Ostrel.sys into the same
# winedevice.exe.
export LD_LIBRARY_PATH=/tower/lib
export TOWER_LIBUSB_STANDIN=/run/tower-standin
state=/var/lib/tower-wine10
pristine="$state/pristine"
export WINEPREFIX="$state/prefix"
dist=/tower/dist
# A plug becomes a listed tower in about a second; the limit is generous
# for a loaded machine (and scaled for an emulated one).
LIST_LIMIT_S="${WINE10_LIST_LIMIT_S:-$((60 * WAIT_SCALE))}"

# A pristine prefix made once; each run starts from a copy of it, so that
# nothing an earlier run installed (INF, service, device keys) is found.
if [ ! -f "$pristine/.made" ]; then
  echo "making the pristine prefix $pristine (once)"
  rm -rf "$pristine"
  mkdir -p "$state"
  mkdir -p "$TOWER_LIBUSB_STANDIN"
  WINEPREFIX="$pristine" wineboot -i </dev/null >/dev/null 2>&1 ||
    { echo "wine10: wineboot could not make the prefix" >&2; exit 1; }
  WINEPREFIX="$pristine" "$WINESERVER" -w
  touch "$pristine/.made"
fi
"$WINESERVER" -k 2>/dev/null
rm -rf "$WINEPREFIX" "$TOWER_LIBUSB_STANDIN"
cp -a "$pristine" "$WINEPREFIX"
mkdir -p "$TOWER_LIBUSB_STANDIN"
# The server and the prefix's services, wineusb's winedevice.exe among them,
# detached from the pipes the cases read.
"$WINESERVER" -p </dev/null >/dev/null 2>&1
wine wineboot </dev/null >/tower/work/wine.log 2>&1
echo "wine ready in $(since "$started") s ($(wine --version))"

# Runs towerctl.exe (in dist/) with $input as its standard input.
towerctl() { capture "$dist" env WINEDEBUG=-all timeout $((60 * WAIT_SCALE)) wine towerctl.exe "$@"; }

# The stand-in's bus: a command file, then its status file tells the result.
standin() {
  local command="$1" want="$2"
  # Made beside the directory and moved in: the stand-in reads every file there.
  touch "$state/$command"
  mv "$state/$command" "$TOWER_LIBUSB_STANDIN/$command"
  for _ in $(seq $((200 * WAIT_SCALE))); do
    if [ "$want" = plugged ]; then
      grep -q '^1 ' "$TOWER_LIBUSB_STANDIN/status" 2>/dev/null && return 0
    else
      grep -q '^1 ' "$TOWER_LIBUSB_STANDIN/status" 2>/dev/null || return 0
    fi
    sleep 0.05
  done
  return 1
}
# Lists until the one tower is listed (present), or none is (absent), or
# the limit passes; the seconds taken in $waited, 0 in $listed when it came.
# Wine's SetupAPI keeps a removed device in a DIGCF_PRESENT set, without
# its interface: Tavrix lists it with an empty path, which counts as absent.
listed=1
list_until() {
  local from=$EPOCHREALTIME deadline=$((SECONDS + LIST_LIMIT_S))
  listed=1
  while :; do
    towerctl list
    if [ "$rc" = 0 ]; then
      if [ "$1" = present ] && [ "$(wc -l <<<"$out")" = 1 ] && grep -qE -- "$LISTED_RE" <<<"$out"; then
        listed=0
        break
      fi
      if [ "$1" = absent ] && ! grep -qE -- "$LISTED_RE" <<<"$out"; then
        listed=0
        break
      fi
    fi
    [ "$SECONDS" -ge "$deadline" ] && break
    sleep 0.1
  done
  waited="$(since "$from")"
}
# Tavrix names a tower by its device interface's path.
LISTED_RE='^tower 1: \\\\\?\\usb#vid_0f5c&pid_0001#[^#]+#\{da12761a-0bcd-4bb5-ba81-4bbaa660af4e\}$'

begin "wineusb.sys loads the libusb stand-in"
loaded=""
for _ in $(seq $((100 * WAIT_SCALE))); do
  loaded="$(grep -l '/tower/lib/libusb-1.0.so' /proc/[0-9]*/maps 2>/dev/null | head -n1)"
  [ -n "$loaded" ] && break
  sleep 0.1
done
[ -n "$loaded" ] || miss "no process maps /tower/lib/libusb-1.0.so.0: wineusb.sys runs the system's libusb or none"
end

begin "no tower: list says so"
towerctl list
expect_rc 0 "list"
[ "$out" = "no tower is plugged in" ] || miss "list printed: $out"
end

begin "Quenta installs Ostrel.inf into the INF store"
out="$(cd "$dist" && WINEDEBUG=-all wine /tower/checks/quenta-setup.exe 'Z:\tower\dist' 2>&1 | tr -d '\r')"
rc=$?
expect_line "QIROTowerSetup: 0" "quenta-setup"
inf="$(grep -lis 'QIROUSBTower' "$WINEPREFIX/drive_c/windows/inf/"*.inf | head -n1)"
[ -n "$inf" ] || miss "no INF naming QIROUSBTower in the INF store"
end

begin "plug: Wine loads Ostrel.sys, the tower is listed"
standin plug-1 plugged || miss "the stand-in did not plug tower 1: $(cat "$TOWER_LIBUSB_STANDIN/status" 2>/dev/null)"
list_until present
plug_listed="$waited"
[ "$listed" = 0 ] || miss "no tower listed ${LIST_LIMIT_S} s after the plug; list printed: $out"
grep -qs 'Ostrel.sys' /proc/[0-9]*/maps || miss "no process has Ostrel.sys mapped"
end
echo "     plug to listed tower: $plug_listed s"

begin "info: state, versions, settings"
towerctl info 1
expect_rc 0 "info 1"
expect_match '^  state: +present, started, open, receiving$' "info 1"
expect_match '^  firmware: ' "info 1"
expect_match '^  carrier: +38 kHz$' "info 1"
end

begin "set: carrier and LED, read back"
towerctl set 1 carrier=40 led1=on
expect_rc 0 "set 1 carrier=40 led1=on"
towerctl info 1
expect_rc 0 "info 1 after set"
expect_match '^  carrier: +40 kHz$' "info 1 after set"
expect_match '^  LEDs: +led1 on' "info 1 after set"
towerctl set 1 range=far
expect_rc 2 "set 1 range=far"
end

begin "send and receive: the far side mirrors"
input=$'send 1 hello\nrecv 1 5 2000\nquit\n'
towerctl shell
input=""
expect_rc 0 "shell"
expect_match '^(towerctl> )*sent 5 bytes' "send 1 hello"
expect_match 'received 5 bytes: "hello"' "recv 1 5 2000"
end

begin "Celvane: the port's 21 slots with the tower"
towerctl list
path="$(sed -n 's/^tower 1: //p' <<<"$out")"
abi=/tower/work/abi
mkdir -p "$abi"
cp -f /tower/checks/abi-check.exe "$dist/Tavrix.dll" "$dist/Celvane.dll" "$abi/"
capture "$abi" env WINEDEBUG=-all timeout $((60 * WAIT_SCALE)) wine abi-check.exe celvane "$path"
expect_rc 0 "abi-check celvane $path"
expect_line "celvane: 21 slots walked with a tower, 0 failed" "abi-check celvane"
end

begin "unplug: the tower leaves and its device goes"
standin unplug-1 unplugged || miss "the stand-in did not unplug tower 1"
list_until absent
[ "$listed" = 0 ] || miss "tower still listed ${LIST_LIMIT_S} s after the unplug: $out"
towerctl info 1
[ "$rc" != 0 ] || miss "info 1 still works after the unplug: $out"
end

begin "plug again: listed, and carries bytes"
standin plug-1 plugged || miss "the stand-in did not plug tower 1 again"
list_until present
replug_listed="$waited"
[ "$listed" = 0 ] || miss "no tower listed ${LIST_LIMIT_S} s after the second plug; list printed: $out"
input=$'send 1 again\nrecv 1 5 2000\nquit\n'
towerctl shell
input=""
expect_match 'received 5 bytes: "again"' "recv after the second plug"
end
echo "     second plug to listed tower: $replug_listed s"

begin "unplug with a handle open: reads fail, the close deletes"
fifo="$(mktemp -u)"
mkfifo "$fifo"
(cd "$dist" && WINEDEBUG=-all timeout $((90 * WAIT_SCALE)) wine towerctl.exe shell <"$fifo" >"$state/shell.out" 2>&1) &
shell_pid=$!
exec 7>"$fifo"
printf 'send 1 first\nrecv 1 5 2000\n' >&7
for _ in $(seq $((200 * WAIT_SCALE))); do
  grep -q 'received' "$state/shell.out" 2>/dev/null && break
  sleep 0.1
done
standin unplug-1 unplugged || miss "the stand-in did not unplug tower 1"
pause 1
printf 'recv 1 5 500\nquit\n' >&7
exec 7>&-
wait "$shell_pid" || true
rm -f "$fifo"
out="$(tr -d '\r' <"$state/shell.out")"
expect_match 'received 5 bytes: "first"' "recv before the unplug"
# The tower's path is gone (open) or its device refuses (read).
expect_match '^(towerctl> )*towerctl: (read|cannot open)' "recv after the unplug"
list_until absent
[ "$listed" = 0 ] || miss "tower still listed after the unplug and the close: $out"
standin plug-1 plugged || miss "the stand-in did not plug tower 1 again"
list_until present
[ "$listed" = 0 ] || miss "no tower listed after plugging in again: $out"
end

