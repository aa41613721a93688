# shellcheck shell=bash
# The user-mode cases of every Wine tier, written once for both
# architectures: sourced by scripts/wine-tier.sh (x86_64, bookworm's wine64)
# and by scripts/wine/root-job.sh (i686, 32-bit Wine 10 in its root, natively
# or in the emulated PC). No tower is present. The caller has sourced
# cases-lib.sh, made the prefix ready (WINEPREFIX), started a display
# (DISPLAY) and set:
#   dist    the build's images (towerctl.exe, Tavrix.dll, Celvane.dll, ...)
#   checks  the check programs (scripts/wine/build-checks.sh) and Tavrix.exports
#   work    a writable directory for outputs (screenshots in work/applet)
PARAMETERS='HKLM\SYSTEM\CurrentControlSet\Services\QIROUSBTower\Parameters'
CAPTION="QIRO USB Tower"
control_pid=""

# Runs a Windows program in $dir (dist/ unless set) with $input as its
# standard input.
dir="$dist"
run() { capture "$dir" wine "$@"; }
registry_value() {
  wine reg query "$PARAMETERS" /v "$1" </dev/null 2>/dev/null | tr -d '\r' |
    awk -v name="$1" '$1 == name { print $3 }'
}

begin "towerctl list, no tower"
run towerctl.exe list
expect_rc 0 "list"
[ "$out" = "no tower is plugged in" ] || miss "list printed: $out"
end

begin "towerctl defaults set, show, reset"
run towerctl.exe defaults reset
expect_rc 0 "defaults reset"
run towerctl.exe defaults set range=short link=vll high-power=on write=321 buffer=2048
expect_rc 0 "defaults set"
run towerctl.exe defaults show
expect_rc 0 "defaults show"
expect_line "  range        short (1)" "defaults show"
expect_line "  link         VLL (1)" "defaults show"
expect_line "  high-power   on" "defaults show"
expect_line "  write        321 ms per byte" "defaults show"
expect_line "  buffer       2048 bytes" "defaults show"
expect_line "  read-first   200 ms" "defaults show"
# Where the driver reads them: the service's Parameters key.
[ "$(registry_value IRRange)" = "0x1" ] || miss "registry IRRange is '$(registry_value IRRange)'"
[ "$(registry_value BufferSize)" = "0x800" ] || miss "registry BufferSize is '$(registry_value BufferSize)'"
run towerctl.exe defaults set range=far
expect_rc 2 "defaults set range=far"
run towerctl.exe defaults reset
expect_rc 0 "defaults reset"
run towerctl.exe defaults show
expect_line "  range        medium (2)" "defaults show after reset"
expect_line "  buffer       1024 bytes" "defaults show after reset"
end

begin "Tavrix problem texts from its string table"
# Beside the DLL it loads.
cp -f "$checks/problem-texts.exe" "$dist/Tavrix.dll" "$work/"
dir="$work"
run problem-texts.exe 0 1f 24 99
dir="$dist"
expect_rc 0 "problem-texts"
expect_line "0: The device is working properly" "problem 0"
expect_line "1f: The driver failed the AddDevice request (0x!F)" "problem 0x1f"
expect_line "24: IRQ translator failed (0x24)" "problem 0x24"
expect_line "99: The device is not working properly. Problem ID = 0x99" "problem 0x99"
end

# The binary interface as programs built by other compilers bind it: every
# export through its import (on i686 a standard call whose callee pops what
# the caller pushed), and the port's table by slot position.
abi="$work/abi"
mkdir -p "$abi"
cp -f "$checks/abi-check.exe" "$dist/Tavrix.dll" "$dist/Celvane.dll" "$abi/"

begin "Tavrix: every export through its import"
dir="$abi"
run abi-check.exe tavrix
dir="$dist"
expect_rc 0 "abi-check tavrix"
called="$(sed -n 's/^export \([A-Za-z0-9_]*\): .*/\1/p' <<<"$out" | sort)"
[ "$called" = "$(cat "$checks/Tavrix.exports")" ] ||
  miss "the exports called differ from the DLL's: $(diff <(echo "$called") "$checks/Tavrix.exports" | grep '^[<>]' | tr '\n' ' ')"
expect_line "tavrix: $(wc -l <"$checks/Tavrix.exports") exports called, 0 failed" "abi-check tavrix"
end

begin "Celvane: the port's 21 slots by position"
dir="$abi"
run abi-check.exe celvane
dir="$dist"
expect_rc 0 "abi-check celvane"
[ "$(grep -c '^slot ' <<<"$out")" = 21 ] || miss "not 21 slots answered: $out"
expect_line "celvane: 21 slots walked without a tower, 0 failed" "abi-check celvane"
end

begin "zmbterm binds Celvane, find gives NOPORT"
input=$'find\nquit\n'
run zmbterm.exe
input=""
expect_rc 0 "zmbterm"
expect_line "zmbterm: port bound from Celvane.dll; 'help' lists the commands" "zmbterm"
expect_line "ZMB_E_NOPORT (0xE1000104)" "find"
expect_line "released (0 references left)" "quit"
end

# The applet as the Control Panel starts it. There is no window manager:
# the sheet has no title bar and its controls are no X windows, so it is
# driven by mnemonics and by clicks at the tabs' places (Wine 8 takes
# xdotool's Ctrl+Tab as a plain Tab here and ignores Ctrl+PageDown, so the
# keyboard cannot switch pages). The screen shows that each page comes up;
# what OK writes to the registry is the oracle.
begin "Ostrel.cpl sheet, pages, OK writes"
shots="$work/applet"
mkdir -p "$shots"
rm -f "$shots"/*.png
run towerctl.exe defaults reset
expect_rc 0 "defaults reset before the applet"
(cd "$dist" && exec wine control Ostrel.cpl </dev/null >"$work/control.log" 2>&1) &
control_pid=$!
sheet=""
for _ in $(seq $((100 * WAIT_SCALE))); do
  sheet="$(xdotool search --onlyvisible --name "^$CAPTION\$" 2>/dev/null | head -n1 || true)"
  [ -n "$sheet" ] && break
  sleep 0.2
done
# Each page: shown when its screenshot differs from the others'.
shot() {
  pause 0.4
  import -window "$sheet" "$shots/$1.png" || miss "no screenshot of $1"
}
if [ -z "$sheet" ]; then
  miss "no window captioned '$CAPTION' within 20 s"
else
  xdotool windowfocus --sync "$sheet" || miss "the sheet took no focus"
  # General: Short range (alt+S), Visible Light Link (alt+V).
  xdotool key alt+s alt+v || miss "xdotool: no keys on General"
  shot 1-general
  # Advanced: the write timeout (alt+W) becomes 345.
  xdotool mousemove --window "$sheet" 100 16 click 1 || miss "xdotool: no click on Advanced"
  pause 0.3
  xdotool key alt+w || miss "xdotool: no mnemonic on Advanced"
  xdotool type 345 || miss "xdotool: no typing on Advanced"
  shot 2-advanced
  xdotool mousemove --window "$sheet" 172 16 click 1 || miss "xdotool: no click on Diagnostics"
  shot 3-diagnostics
  # Return presses the default button, OK.
  xdotool key Return || miss "xdotool: no Return"
fi
for _ in $(seq $((50 * WAIT_SCALE))); do
  kill -0 "$control_pid" 2>/dev/null || break
  sleep 0.2
done
if kill -0 "$control_pid" 2>/dev/null; then
  miss "the sheet did not close after OK"
  kill "$control_pid" 2>/dev/null || true
fi
wait "$control_pid" 2>/dev/null || true
control_pid=""
for a in 1-general 2-advanced 3-diagnostics; do
  for b in 1-general 2-advanced 3-diagnostics; do
    [[ "$a" < "$b" ]] || continue
    [ -f "$shots/$a.png" ] || continue
    [ -f "$shots/$b.png" ] || continue
    differ="$(compare -metric AE "$shots/$a.png" "$shots/$b.png" null: 2>&1 || true)"
    [ "${differ%% *}" != "0" ] || miss "pages $a and $b look the same: a page was not shown"
  done
done
[ "$(registry_value IRRange)" = "0x1" ] || miss "after OK, IRRange is '$(registry_value IRRange)', not 0x1 (short)"
[ "$(registry_value LinkMode)" = "0x1" ] || miss "after OK, LinkMode is '$(registry_value LinkMode)', not 0x1 (VLL)"
[ "$(registry_value Timeout_Write)" = "0x159" ] ||
  miss "after OK, Timeout_Write is '$(registry_value Timeout_Write)', not 0x159 (345)"
[ "$(registry_value BufferSize)" = "0x400" ] || miss "after OK, BufferSize is '$(registry_value BufferSize)', not 0x400"
end
echo "screenshots: $shots"

# The installer: message boxes only, answered by key as a person would; its
# exit code is the setup's result, and the driver package lands in Wine's
# INF store. The boxes carry the installer's caption.
SETUP_CAPTION="QIRO USB Tower Setup"
inf_store="$WINEPREFIX/drive_c/windows/inf"
installed() { grep -lis 'QIROUSBTower' "$inf_store"/*.inf 2>/dev/null | head -n1; }
# The package out of the INF store and, where Wine keeps one (Wine 10), out
# of the driver store too, as removing a driver package does on Windows: a
# copy left there makes the next SetupCopyOEMInf fail.
forget_package() {
  local inf
  while inf="$(installed)" && [ -n "$inf" ]; do rm -f "$inf" "${inf%.*}.pnf"; done
  find "$WINEPREFIX/drive_c/windows/system32" -maxdepth 3 -mindepth 3 \
    -ipath '*/driverstore/filerepository/ostrel.inf_*' -exec rm -rf {} + 2>/dev/null
  return 0
}
# Runs installer.exe, answering each box it shows with the next key given;
# the exit code in $rc.
run_installer() {
  (cd "$dist" && exec wine installer.exe </dev/null >"$work/installer.log" 2>&1) &
  local pid=$! box="" key
  for key in "$@"; do
    box=""
    for _ in $(seq $((100 * WAIT_SCALE))); do
      box="$(xdotool search --onlyvisible --name "^$SETUP_CAPTION\$" 2>/dev/null | tail -n1 || true)"
      [ -n "$box" ] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.2
    done
    if [ -z "$box" ]; then
      miss "no box captioned '$SETUP_CAPTION' to answer with $key"
      break
    fi
    xdotool windowfocus --sync "$box" key "$key" || miss "xdotool: no $key"
    # The next box is a new window; wait for this one to go.
    for _ in $(seq $((50 * WAIT_SCALE))); do
      xdotool search --onlyvisible --name "^$SETUP_CAPTION\$" 2>/dev/null | grep -qx "$box" || break
      sleep 0.1
    done
  done
  for _ in $(seq $((100 * WAIT_SCALE))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  if kill -0 "$pid" 2>/dev/null; then
    miss "installer.exe still running after its boxes were answered"
    kill "$pid" 2>/dev/null || true
  fi
  rc=0
  wait "$pid" || rc=$?
}

begin "installer.exe, consent refused"
forget_package
run_installer Escape
# -12, the user's cancel, as the 8-bit exit status the host sees.
[ "$rc" = "244" ] || miss "exit code $rc, expected 244 (-12, cancelled)"
[ -z "$(installed)" ] || miss "the driver package was installed although the user cancelled"
end

begin "installer.exe, consent given"
forget_package
run_installer Return Return
[ "$rc" = "0" ] || miss "exit code $rc, expected 0 (success)"
[ -n "$(installed)" ] || miss "no driver package naming QIROUSBTower in Wine's INF store"
end
forget_package

run towerctl.exe defaults reset
