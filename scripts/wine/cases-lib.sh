# shellcheck shell=bash
# The case harness both Wine tiers source (scripts/wine-tier.sh, and
# scripts/wine10/cases.sh inside its chroot): timing, one line per case with
# the broken expectations under it, and a program's output and exit code.
# CASE_WIDTH sets the width of the case names' column.

# Seconds since a $EPOCHREALTIME, to the hundredth.
since() { awk -v from="$1" -v to="$EPOCHREALTIME" 'BEGIN { printf "%.2f", to - from }'; }

# Every wait for a window or a process is this many times its usual length
# (an emulated PC is ten or more times slower than the machine).
WAIT_SCALE="${WAIT_SCALE:-1}"
pause() { sleep "$(awk -v s="$1" -v k="$WAIT_SCALE" 'BEGIN { print s * k }')"; }

passes=0
failures=0
case_started=""
begin() {
  case_started=$EPOCHREALTIME
  case_name="$1"
  case_failed=0
  case_log=""
}
# Records one broken expectation of the running case.
miss() {
  case_failed=1
  case_log+="  $*"$'\n'
}
end() {
  local took
  took="$(since "$case_started")"
  if [ "$case_failed" -eq 0 ]; then
    printf 'PASS %-*s %6s s\n' "${CASE_WIDTH:-52}" "$case_name" "$took"
    passes=$((passes + 1))
  else
    printf 'FAIL %-*s %6s s\n%s' "${CASE_WIDTH:-52}" "$case_name" "$took" "$case_log"
    failures=$((failures + 1))
  fi
}

# capture DIR COMMAND...: runs COMMAND in DIR with $input as its standard
# input; its output without carriage returns in $out, its exit code in $rc.
input=""
capture() {
  local in_dir="$1"
  shift
  out="$(
    cd "$in_dir" || exit 1
    printf '%s' "$input" | "$@" 2>&1
    echo "rc=$?"
  )"
  out="$(tr -d '\r' <<<"$out")"
  rc="${out##*rc=}"
  out="${out%rc=*}"
  out="${out%$'\n'}"
}
expect_rc() { [ "$rc" = "$1" ] || miss "$2: exit code $rc, expected $1; output: $out"; }
expect_line() { grep -qxF -- "$1" <<<"$out" || miss "$2: no line '$1' in: $out"; }
expect_match() { grep -qE -- "$1" <<<"$out" || miss "$2: nothing matches '$1' in: $out"; }

# start_display DIR: an X display of its own for the applet and the
# installer (Xvfb picks a free number and writes it into DIR/display);
# DISPLAY is exported, the server's process id is in $xvfb_pid.
xvfb_pid=""
start_display() {
  rm -f "$1/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$1/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$1/display" ] && break
    sleep 0.1
  done
  [ -s "$1/display" ] || { echo "wine: Xvfb did not start" >&2; return 1; }
  DISPLAY=":$(head -n1 "$1/display")"
  export DISPLAY
}

# ready_prefix WINESERVER: makes $WINEPREFIX once (a prefix whose making was
# cut short lacks the mark and is made again), then starts the persistent
# server and the prefix's services, detached from the pipes the cases read
# (services would hold them open). A server already serving the prefix
# serves the cases too.
ready_prefix() {
  local server="$1"
  if [ ! -f "$WINEPREFIX/.made" ]; then
    echo "making the prefix $WINEPREFIX (once)"
    rm -rf "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1 || { echo "wine: wineboot could not make the prefix" >&2; return 1; }
    # Its server ends once the services do; the persistent one starts below.
    "$server" -w
    touch "$WINEPREFIX/.made"
  fi
  "$server" -p </dev/null >/dev/null 2>&1 || echo "a wineserver already serves $WINEPREFIX"
  wine wineboot </dev/null >/dev/null 2>&1
}
