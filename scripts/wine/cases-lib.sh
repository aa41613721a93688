# shellcheck shell=bash
# The case harness both Wine tiers source (scripts/wine-tier.sh, and
# scripts/wine10/cases.sh inside its chroot): timing, one line per case with
# the broken expectations under it, and a program's output and exit code.
# CASE_WIDTH sets the width of the case names' column.

# Seconds since a $EPOCHREALTIME, to the hundredth.
since() { awk -v from="$1" -v to="$EPOCHREALTIME" 'BEGIN { printf "%.2f", to - from }'; }

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
