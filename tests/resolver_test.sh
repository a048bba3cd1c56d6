#!/bin/sh
# Checks fragments written by hostzones against the resolver's own tools.
#
#   resolver_test.sh lists  HOSTZONES SOURCE_DIR DATA_DIR
#   resolver_test.sh stress HOSTZONES SOURCE_DIR
#
# lists: converts every list of DATA_DIR (*.txt; the environment variable
# HOSTZONES_DATA_DIR, when set, names it instead) and the repository's
# examples, each alone and all together, and requires unbound-checkconf to
# accept every fragment; asks unbound-host about a blocked name, a name
# covered only through its listed parent and an exempt name; and converts the
# order fixture, which must come out byte for byte as order_expected.conf.
# stress: converts a generated list of adversarial names (every byte value
# 0x21..0xff, over-long labels and names, empty labels, quotes, backslashes,
# final dots) and requires unbound-checkconf to accept the fragment.
#
# Exit status 0: passed; 77: the resolver tools are missing, or DATA_DIR
# holds no list (skipped, unless the environment variable CI is set, where
# that is a failure); else failed.
set -eu

mode=$1
hostzones=$2
source_dir=$3
data_dir=${HOSTZONES_DATA_DIR:-${4:-}}

# Debian puts the resolver's tools in /usr/sbin, FreeBSD's ports in
# /usr/local/sbin (or /usr/local/bin).
PATH=$PATH:/usr/sbin:/sbin:/usr/local/sbin:/usr/local/bin
export PATH

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

for tool in unbound-checkconf unbound-host; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    if [ -n "${CI:-}" ]; then fail "$tool is not installed (packages unbound, unbound-host)"; fi
    echo "SKIP: $tool is not installed (packages unbound, unbound-host)"
    exit 77
  fi
done
[ -x "$hostzones" ] || fail "no hostzones binary at $hostzones"

# The real lists are what this mode is about: without them it would pass on
# the examples alone.
if [ "$mode" = lists ]; then
  found=
  for list in "$data_dir"/*.txt; do
    if [ -f "$list" ]; then
      found=yes
      break
    fi
  done
  if [ -z "$found" ]; then
    if [ -n "${CI:-}" ]; then fail "no lists (*.txt) in '$data_dir' (set HOSTZONES_DATA_DIR)"; fi
    echo "SKIP: no lists (*.txt) in '$data_dir' (set HOSTZONES_DATA_DIR)"
    exit 77
  fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/hostzones-resolver.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# A resolver configuration that includes one fragment and works without
# network, without root and without a control channel. The root zone
# refuses every name that no more specific local zone answers, so a lookup
# tells "blocked by the fragment" (NXDOMAIN) from "not blocked" (REFUSED)
# at once, without queries going out.
write_config() {
  cat >"$work/unbound.conf" <<EOF
server:
  directory: "$work"
  chroot: ""
  username: ""
  pidfile: "$work/unbound.pid"
  use-syslog: no
  logfile: ""
  verbosity: 0
  local-zone: "." refuse
  include: "$1"
remote-control:
  control-enable: no
EOF
}

# Converts the given inputs into $work/NAME.conf; the run must succeed.
convert() {
  name=$1
  shift
  status=0
  "$hostzones" "$work/$name.conf" "$@" >"$work/$name.summary" || status=$?
  [ "$status" -eq 0 ] || fail "hostzones exited with $status for $*: $(cat "$work/$name.summary")"
  [ -s "$work/$name.conf" ] || fail "empty fragment for $*"
  echo "$name: $(tr '\n' ' ' <"$work/$name.summary")"
}

# The fragment must be accepted as a whole.
check_fragment() {
  write_config "$work/$1.conf"
  if ! out=$(unbound-checkconf "$work/unbound.conf" 2>&1); then
    fail "unbound-checkconf rejects $1.conf: $out"
  fi
  case $out in
    *"no errors"*) ;;
    *) fail "unbound-checkconf on $1.conf: $out" ;;
  esac
}

# unbound-host's answer for an A query of $1 under the current config.
lookup() {
  unbound-host -C "$work/unbound.conf" -t A "$1" 2>&1 || true
}

expect_blocked() {
  answer=$(lookup "$1")
  case $answer in
    *NXDOMAIN*) ;;
    *) fail "$1 should be blocked (NXDOMAIN), got: $answer" ;;
  esac
}

expect_not_blocked() {
  answer=$(lookup "$1")
  case $answer in
    *REFUSED*) ;;
    *) fail "$1 should not be blocked (REFUSED by the test root zone), got: $answer" ;;
  esac
}

# True when the fragment $1 holds the line for name $2.
has_line() {
  grep -Fqx "local-zone: \"$2\" static" "$1"
}

run_lists() {
  fixture="$source_dir/tests/fixtures/resolver_hosts.txt"
  inputs=""
  for list in "$data_dir"/*.txt "$source_dir/examples/hosts.txt" "$source_dir/examples/domains.txt"; do
    [ -f "$list" ] || continue
    base=$(basename "$list" .txt)
    convert "list-$base" "$list"
    check_fragment "list-$base"
    inputs="$inputs $list"
  done
  [ -n "$inputs" ] || fail "no lists found in $data_dir"

  # All lists together, with names whose fate is known.
  # shellcheck disable=SC2086  # the paths hold no blanks
  convert all "$fixture" $inputs
  check_fragment all
  frag="$work/all.conf"

  has_line "$frag" "hostzones-test.example" || fail "listed parent not written"
  ! has_line "$frag" "ads.hostzones-test.example" || fail "covered name written"
  ! has_line "$frag" "exempt.hostzones-check.example" || fail "exempt name written"
  ! grep -Fq "hostzones-check.example\"" "$frag" || fail "a parent of the exempt name written"

  # A written name, one from the real lists and one from the fixture.
  first=$(sed -n '1s/^local-zone: "\(.*\)" static$/\1/p' "$frag")
  [ -n "$first" ] || fail "malformed first line: $(head -n 1 "$frag")"
  expect_blocked "$first"
  expect_blocked "hostzones-test.example"
  # Listed, but written only through its parent; and any name beneath a zone.
  expect_blocked "ads.hostzones-test.example"
  expect_blocked "deeper.ads.hostzones-test.example"
  expect_blocked "unlisted.$first"
  # Listed against 1.1.1.1: recorded, never blocked.
  expect_not_blocked "exempt.hostzones-check.example"
  expect_not_blocked "unlisted.hostzones-check.example"

  # The byte-exact order fixture, through the whole program.
  convert order "$source_dir/tests/fixtures/order_hosts.txt"
  cmp "$work/order.conf" "$source_dir/tests/fixtures/order_expected.conf" ||
    fail "order fixture: fragment differs from order_expected.conf"
  check_fragment order
}

# Writes the adversarial list: hosts lines and bare-domain lines.
write_stress_list() {
  long63=$(printf '%063d' 0 | tr 0 a)
  long64=${long63}b
  name253="$long63.$long63.$long63.$(printf '%061d' 0 | tr 0 c)"
  {
    b=33
    while [ "$b" -le 255 ]; do
      # The octal escape of byte b is built into the format on purpose: it is
      # how a POSIX printf writes an arbitrary byte.
      # shellcheck disable=SC2059
      c=$(printf "\\$(printf %03o "$b")")
      printf '0.0.0.0 a%sb.example %s.example x.%s %s%s.test.\n' "$c" "$c" "$c" "$c" "$c"
      printf 'sub.b%sc.example\n' "$c"
      printf '127.0.0.1 %s%s%s\n' "$c" "$c" "$c"
      b=$((b + 1))
    done
    printf '0.0.0.0 %s.com %s.com %s.%s\n' "$long63" "$long64" "$long63" "$long64"
    printf '0.0.0.0 %s %sd %s. %sd.\n' "$name253" "$name253" "$name253" "$name253"
    printf '0.0.0.0 %sde %sde.\n' "$name253" "$name253"
    printf '0.0.0.0 .com .lead.example a..b.example trail.example.. .. . com. x.\n'
    printf '0.0.0.0 q"uote.example "quoted.example" back\\slash.example tail\\\n'
    printf '0.0.0.0 sub.q"uote.example ads.back\\slash.example\n'
    printf 'dot.at.end.example.\n..\n.x.example\nname"with.quote\n'
    printf '1.1.1.1 "exempt.example\n'
    printf '0.0.0.0 plain.example ads.plain.example\n'
  } >"$work/stress.txt"
}

run_stress() {
  write_stress_list
  convert stress "$work/stress.txt"
  check_fragment stress
  has_line "$work/stress.conf" "plain.example" || fail "plain.example missing from the stress fragment"
  lines=$(wc -l <"$work/stress.conf")
  [ "$lines" -ge 300 ] || fail "only $lines lines in the stress fragment"
  write_config "$work/stress.conf"
  expect_blocked "plain.example"
  expect_blocked "ads.plain.example"
}

case $mode in
  lists) run_lists ;;
  stress) run_stress ;;
  *) fail "unknown mode $mode" ;;
esac
echo "PASS: $mode"
