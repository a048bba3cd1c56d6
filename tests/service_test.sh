#!/bin/sh
# The shipped systemd service is hardened: systemd-analyze security rates
# its exposure at most 5.0 (of 10), and no directive of it is unknown to
# systemd.
#
#   service_test.sh UNIT_FILE
#
# Exit status 0: passed; 77: systemd-analyze is missing (skipped, unless the
# environment variable CI is set, where that is a failure); else failed.
set -eu

unit=$1

if ! command -v systemd-analyze >/dev/null 2>&1; then
  if [ -n "${CI:-}" ]; then
    echo "FAIL: systemd-analyze is not installed (package systemd)" >&2
    exit 1
  fi
  echo "SKIP: systemd-analyze is not installed (package systemd)"
  exit 77
fi

out=$(systemd-analyze security --offline=true "$unit" 2>&1) || {
  printf 'FAIL: systemd-analyze security failed:\n%s\n' "$out" >&2
  exit 1
}
if printf '%s\n' "$out" | grep -Ei 'unknown (key|lvalue|section)|failed to parse' >&2; then
  echo "FAIL: systemd does not know every directive of $unit" >&2
  exit 1
fi
level=$(printf '%s\n' "$out" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
[ -n "$level" ] || {
  printf 'FAIL: no exposure level in:\n%s\n' "$out" >&2
  exit 1
}
if ! awk -v l="$level" 'BEGIN { exit !(l <= 5.0) }'; then
  printf 'FAIL: exposure %s, more than 5.0:\n%s\n' "$level" "$out" >&2
  exit 1
fi
echo "PASS: $(basename "$unit"): exposure $level"
