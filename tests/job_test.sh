#!/bin/sh
# The installed nightly job, hostzones-update, against a running resolver.
#
#   job_test.sh CMAKE BUILD_DIR
#
# Installs BUILD_DIR into a temporary prefix, starts unbound on 127.0.0.1 at a
# free port with remote control over a unix socket, serves the lists with
# python3's http.server on 127.0.0.1, and runs the installed job the way cron
# does (env -i PATH=/usr/bin:/bin) through: bad settings; a clean run; an
# unchanged rerun; a 404, an HTML page, an empty local list, a cut-off
# transfer (from a second server that closes early) and a list never
# fetched; a changed list whose configuration check fails; the recovery;
# lists that yield no zone; a second run while one holds the lock; stale
# locks. What the resolver serves is read with unbound-control
# list_local_zones, its reloads from its own log.
#
# Every process it starts listens on loopback only, runs under timeout(1)
# and is stopped by its PID when the test ends.
#
# Exit status 0: passed; 77: unbound, curl or python3 is missing (skipped,
# unless the environment variable CI is set, where that is a failure); else
# failed.
set -eu

cmake=$1
build_dir=$2

PATH=$PATH:/usr/sbin:/sbin:/usr/local/sbin:/usr/local/bin
export PATH

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

for tool in unbound unbound-control unbound-checkconf curl python3 timeout; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    if [ -n "${CI:-}" ]; then fail "$tool is not installed (packages unbound, curl, python3)"; fi
    echo "SKIP: $tool is not installed (packages unbound, curl, python3)"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/hostzones-job.XXXXXX")
pids=""
cleanup() {
  for pid in $pids; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $pids; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# Seconds any process started here may live; the whole test takes far less.
LIFETIME=240

prefix=$work/prefix
www=$work/www
local_lists=$work/local
cache=$work/cache
fragment=$work/unbound/blocklist.zones
mkdir -p "$www" "$local_lists" "$work/unbound"

"$cmake" --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  fail "cmake --install: $(cat "$work/install.log")"
job=$prefix/sbin/hostzones-update
hostzones=$prefix/bin/hostzones
[ -x "$job" ] || fail "no $job after the install"
[ -f "$prefix/etc/hostzones-update.conf.sample" ] || fail "no sample configuration installed"
[ -f "$prefix/share/man/man8/hostzones-update.8" ] || fail "no manual page installed"
grep -q "^hostzones='$hostzones'$" "$job" || fail "the installed job does not call $hostzones"

# A port on 127.0.0.1 that was free a moment ago.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts "$@" in the background under the lifetime limit; its PID in $started.
start() {
  log=$1
  shift
  timeout "$LIFETIME" "$@" >"$log" 2>&1 &
  started=$!
  pids="$pids $started"
}

# Runs "$@" (output discarded) every tenth of a second, at most $1 times,
# until it succeeds; gives up early when the process last started has ended.
# Status 0 when the command succeeded.
wait_ready() {
  tries=$1
  shift
  i=0
  while [ "$i" -lt "$tries" ]; do
    if "$@" >/dev/null 2>&1; then return 0; fi
    kill -0 "$started" 2>/dev/null || return 1
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# Whether the URL $1 answers with status 200.
answers_200() {
  [ "$(curl -s -o /dev/null -w '%{http_code}' "$1")" = 200 ]
}

# --- The lists --------------------------------------------------------------

write_lists() {
  cat >"$www/hosts.txt" <<'EOF'
# hosts list
1.1.1.1 keep.example.org
0.0.0.0 ads.example.com tracker.example.com
0.0.0.0 sub.keep.example.org
127.0.0.1 telemetry.example.net
EOF
  cat >"$www/domains.txt" <<'EOF'
adserver.example
ads.example.com
metrics.example.io
EOF
  printf '0.0.0.0 local-ads.example\n' >"$local_lists/extra.txt"
}
write_lists

# Starts an HTTP server on 127.0.0.1, "$@" with a free port appended, and
# waits until it answers 200 for the path $1 (logging to $2); the port in
# $http_port.
serve() {
  probe=$1
  log=$2
  shift 2
  for _ in 1 2 3; do
    http_port=$(free_port)
    start "$log" "$@" "$http_port"
    if wait_ready 50 answers_200 "http://127.0.0.1:$http_port/$probe"; then return 0; fi
    kill "$started" 2>/dev/null || true
  done
  fail "the HTTP server did not start: $(cat "$log")"
}
serve hosts.txt "$work/http.log" python3 -m http.server --bind 127.0.0.1 --directory "$www"
url=http://127.0.0.1:$http_port

# A server whose every answer is cut off: it promises far more bytes than
# the one list line it sends before closing the connection.
cat >"$work/cut_server.py" <<'EOF'
import http.server
import sys


class CutOff(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", "100000")
        self.end_headers()
        self.wfile.write(b"0.0.0.0 cut.example.com\n")

    def log_message(self, *args):
        pass


http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), CutOff).serve_forever()
EOF
serve cut.txt "$work/cut.log" python3 "$work/cut_server.py"
cut_url=http://127.0.0.1:$http_port/cut.txt

# --- The resolver -----------------------------------------------------------

unbound_conf=$work/unbound/unbound.conf
write_unbound_conf() {
  cat >"$unbound_conf" <<EOF
server:
  directory: "$work/unbound"
  chroot: ""
  username: ""
  pidfile: "$work/unbound/unbound.pid"
  use-syslog: no
  logfile: ""
  verbosity: 1
  interface: 127.0.0.1
  port: $1
  do-ip6: no
  do-daemonize: no
  local-zone: "." refuse
  include: "$fragment"
remote-control:
  control-enable: yes
  control-interface: "$work/unbound/control.sock"
  control-use-cert: no
EOF
}

control() {
  unbound-control -c "$unbound_conf" "$@"
}

start_resolver() {
  for _ in 1 2 3; do
    write_unbound_conf "$(free_port)"
    start "$work/unbound.log" unbound -d -c "$unbound_conf"
    if wait_ready 100 control status; then return 0; fi
    kill "$started" 2>/dev/null || true
  done
  fail "unbound did not start: $(cat "$work/unbound.log")"
}

# The set-up the documentation gives: the fragment exists before the resolver
# includes it.
: >"$fragment"
start_resolver

reloads() {
  grep -c 'Restart of unbound' "$work/unbound.log" || true
}

# Waits until the resolver has reloaded $1 times in all.
expect_reloads() {
  i=0
  while [ "$(reloads)" -lt "$1" ] && [ "$i" -lt 50 ]; do
    sleep 0.1
    i=$((i + 1))
  done
  [ "$(reloads)" -eq "$1" ] || fail "$what: $(reloads) reloads of the resolver, expected $1"
}

checks() {
  if [ -f "$work/checks.log" ]; then wc -l <"$work/checks.log" | tr -d ' '; else echo 0; fi
}

expect_checks() {
  [ "$(checks)" -eq "$1" ] || fail "$what: $(checks) configuration checks, expected $1"
}

# The zones the resolver serves, once it answers on its control socket.
local_zones() {
  i=0
  until control list_local_zones >"$work/zones" 2>&1; do
    i=$((i + 1))
    [ "$i" -lt 50 ] || fail "unbound-control list_local_zones: $(cat "$work/zones")"
    sleep 0.1
  done
  cat "$work/zones"
}

expect_blocked() {
  for name in "$@"; do
    local_zones | grep -Fqx "$name. static" || fail "$what: the resolver does not block $name"
  done
}

expect_not_blocked() {
  for name in "$@"; do
    ! local_zones | grep -Fqx "$name. static" || fail "$what: the resolver blocks $name"
  done
}

# --- The job ----------------------------------------------------------------

# Writes the job's configuration $1 with the lists "$2", the default set-up
# otherwise; further lines ($3) are appended. Each check is logged so that
# the test can tell whether one ran.
write_job_conf() {
  cat >"$1" <<EOF
lists="$2"
fragment=$fragment
cache=$cache
checkconf="echo >>$work/checks.log; unbound-checkconf $unbound_conf"
reload="unbound-control -c $unbound_conf reload"
${3:-}
EOF
}

all_lists="$url/hosts.txt $url/domains.txt $local_lists/extra.txt"
conf=$work/job.conf
write_job_conf "$conf" "$all_lists"

# Runs the installed job as cron would; its output in $work/out and
# $work/err, its exit status in $job_status.
run_job() {
  job_status=0
  timeout 60 env -i PATH=/usr/bin:/bin "$job" "$@" >"$work/out" 2>"$work/err" || job_status=$?
}

expect_status() {
  [ "$job_status" -eq "$1" ] ||
    fail "$what: exit status $job_status, expected $1; stderr: $(cat "$work/err")"
}

expect_silent() {
  if [ -s "$work/out" ] || [ -s "$work/err" ]; then
    fail "$what: output on a successful run: $(cat "$work/out" "$work/err")"
  fi
}

# Exactly $1 lines on standard error, nothing on standard output.
expect_messages() {
  [ ! -s "$work/out" ] || fail "$what: output on standard output: $(cat "$work/out")"
  lines=$(wc -l <"$work/err" | tr -d ' ')
  [ "$lines" -eq "$1" ] || fail "$what: $lines lines on stderr, expected $1: $(cat "$work/err")"
  echo "$what:"
  sed 's/^/  /' "$work/err"
}

# A line on stderr that holds every given text.
expect_message() {
  matches=$(cat "$work/err")
  for text in "$@"; do
    matches=$(printf '%s\n' "$matches" | grep -F -- "$text" || true)
  done
  [ -n "$matches" ] || fail "$what: no message with '$*' in: $(cat "$work/err")"
}

# The converter's own fragment for the current lists.
reference() {
  rm -f "$work/reference.zones"
  "$hostzones" "$work/reference.zones" "$www/hosts.txt" "$www/domains.txt" \
    "$local_lists/extra.txt" >/dev/null || fail "the converter failed on the test lists"
}

expect_fragment_is_reference() {
  reference
  cmp -s "$fragment" "$work/reference.zones" ||
    fail "$what: the fragment differs from the converter's own output"
}

# The fragment's inode number: a file replaced by another has a new one.
inode() {
  # shellcheck disable=SC2012  # a fixed path; POSIX ls -i is the portable way
  ls -i "$1" | awk '{ print $1 }'
}

snapshot() {
  cp -p "$fragment" "$work/fragment.before"
  fragment_inode=$(inode "$fragment")
  rm -rf "$work/cache.before"
  if [ -d "$cache" ]; then cp -R "$cache" "$work/cache.before"; fi
}

# The same bytes (a conversion of the same lists writes a new file).
expect_fragment_unchanged() {
  cmp -s "$fragment" "$work/fragment.before" || fail "$what: the fragment changed"
}

# The very same file: nothing replaced it.
expect_fragment_untouched() {
  expect_fragment_unchanged
  [ "$(inode "$fragment")" = "$fragment_inode" ] ||
    fail "$what: the fragment was replaced (same bytes, another file)"
}

expect_cache_unchanged() {
  diff -r "$work/cache.before" "$cache" >/dev/null 2>&1 || fail "$what: the cached copies changed"
}

expect_unlocked() {
  [ ! -e "$cache/.hostzones-update.lock" ] || fail "$what: the lock was left behind"
}

# --- Bad settings: one message, exit 1, nothing changed ----------------------

what="bad settings"
printf 'local-zone: "before.example" static\n' >"$fragment"
snapshot
bad_cache=$work/no-cache
bad() {
  printf '%s\n' "$1" >"$work/bad.conf"
  run_job -c "$work/bad.conf"
  what="bad setting ($1)"
  expect_status 1
  expect_messages 1
  expect_message "$2"
  expect_fragment_untouched
  [ ! -e "$bad_cache" ] || fail "$what: the cache was created"
}
ok_settings="fragment=$fragment cache=$bad_cache"
bad "$ok_settings" "lists is not set"
bad "lists=$url/hosts.txt cache=$bad_cache" "fragment is not set"
bad "lists=$url/hosts.txt fragment=$fragment" "cache is not set"
bad "lists=ftp://127.0.0.1/x.txt $ok_settings" "neither an http(s) URL nor an absolute path"
bad "lists=relative/list.txt $ok_settings" "neither an http(s) URL nor an absolute path"
bad "lists='$url/hosts.txt $url/hosts.txt' $ok_settings" "listed twice"
bad "lists=$url/hosts.txt fragment=blocklist.zones cache=$bad_cache" "not an absolute path"
bad "lists=$url/hosts.txt fragment=$work/none/blocklist.zones cache=$bad_cache" "no such directory"
bad "lists=$url/hosts.txt $ok_settings checkconf=no-such-checkconf" "command not found: no-such-checkconf"
bad "lists=$url/hosts.txt $ok_settings reload='unbound-control \"reload'" "reload: not a command line"
bad "lists=\"$url/hosts.txt" "not a valid sh fragment"
run_job -c "$work/missing.conf"
what="missing configuration"
expect_status 1
expect_messages 1
expect_message "$work/missing.conf"
run_job -x
what="unknown option"
expect_status 1
expect_messages 1
expect_message "usage"
: >"$fragment"

# --- A clean run, then the same again -----------------------------------------

what="clean run"
run_job -c "$conf"
expect_status 0
expect_silent
expect_fragment_is_reference
expect_checks 1
expect_reloads 1
expect_blocked ads.example.com tracker.example.com telemetry.example.net adserver.example \
  metrics.example.io local-ads.example
# Listed against 1.1.1.1: neither the exempt name nor its listed child.
expect_not_blocked keep.example.org sub.keep.example.org
expect_unlocked

what="unchanged rerun"
snapshot
run_job -c "$conf"
expect_status 0
expect_silent
expect_fragment_unchanged
expect_checks 1
expect_reloads 1

# --- Refused downloads: the last good copies ---------------------------------

what="404, HTML page, empty list, cut-off transfer, list never fetched"
snapshot
printf '<!DOCTYPE html>\n<html><body>Mirror maintenance</body></html>\n' >"$www/hosts.txt"
rm "$www/domains.txt"
: >"$local_lists/extra.txt"
write_job_conf "$work/more.conf" "$all_lists $cut_url $url/never.txt"
run_job -c "$work/more.conf"
expect_status 1
expect_messages 5
expect_message "$url/hosts.txt" "HTML" "last good copy"
expect_message "$url/domains.txt" "404" "last good copy"
expect_message "$local_lists/extra.txt" "empty" "last good copy"
expect_message "$cut_url" "download failed" "left out"
expect_message "$url/never.txt" "404" "left out"
expect_cache_unchanged
expect_fragment_unchanged
expect_checks 1
expect_reloads 1
expect_blocked ads.example.com adserver.example local-ads.example
expect_not_blocked cut.example.com
expect_unlocked

what="a page without names"
printf 'Service unavailable, try again later.\n' >"$www/hosts.txt"
run_job -c "$conf"
expect_status 1
expect_message "$url/hosts.txt" "no names" "last good copy"
expect_cache_unchanged
expect_fragment_unchanged

# --- A changed list whose check fails: the previous fragment back ------------

what="failing check"
write_lists
printf '0.0.0.0 new.example.com\n' >>"$www/hosts.txt"
snapshot
printf 'server:\n  no-such-option: yes\n' >"$work/broken.conf"
write_job_conf "$work/broken-check.conf" "$all_lists" \
  "checkconf=\"echo >>$work/checks.log; unbound-checkconf $work/broken.conf\""
run_job -c "$work/broken-check.conf"
expect_status 1
expect_messages 1
expect_message "configuration check failed" "previous fragment"
expect_fragment_unchanged
expect_checks 2
expect_reloads 1
expect_not_blocked new.example.com
expect_blocked ads.example.com

what="recovery"
run_job -c "$conf"
expect_status 0
expect_silent
expect_fragment_is_reference
expect_checks 3
expect_reloads 2
expect_blocked new.example.com ads.example.com local-ads.example

# --- Lists that yield no zone: the fragment stays, nothing is reloaded -------

what="lists that yield no zone"
snapshot
printf '1.1.1.1 ads.example.com other.example.com\n' >"$www/hosts.txt"
printf '1.1.1.1 adserver.example\n' >"$www/domains.txt"
printf '1.1.1.1 local-ads.example\n' >"$local_lists/extra.txt"
run_job -c "$conf"
expect_status 1
expect_messages 1
expect_message "no zone" "left as it was"
# The converter itself leaves the fragment alone: the very same file.
expect_fragment_untouched
expect_checks 3
expect_reloads 2
expect_blocked new.example.com ads.example.com

# --- One run at a time ---------------------------------------------------------

what="second run while one holds the lock"
write_lists
snapshot
# The first run waits in its check until the file "go" appears.
write_job_conf "$work/slow.conf" "$all_lists" \
  "checkconf=\"echo >>$work/checks.log; i=0; while [ ! -e $work/go ] && [ \\\$i -lt 300 ]; do sleep 0.1; i=\\\$((i + 1)); done; unbound-checkconf $unbound_conf\""
timeout 60 env -i PATH=/usr/bin:/bin "$job" -c "$work/slow.conf" >"$work/first.out" 2>"$work/first.err" &
first=$!
pids="$pids $first"
i=0
while [ "$(checks)" -lt 4 ]; do
  i=$((i + 1))
  [ "$i" -lt 100 ] || fail "$what: the first run never reached its check: $(cat "$work/first.err")"
  sleep 0.1
done
run_job -c "$conf"
expect_status 1
expect_messages 1
expect_message "holds the lock"
touch "$work/go"
first_status=0
wait "$first" || first_status=$?
[ "$first_status" -eq 0 ] || fail "$what: the first run exited $first_status: $(cat "$work/first.err")"
if [ -s "$work/first.out" ] || [ -s "$work/first.err" ]; then
  fail "$what: the first run printed something"
fi
expect_fragment_is_reference
expect_checks 4
expect_reloads 3
expect_not_blocked new.example.com
expect_unlocked

what="stale lock of a killed run"
sh -c 'exit 0' &
gone=$!
wait "$gone" || true
mkdir "$cache/.hostzones-update.lock"
echo "$gone" >"$cache/.hostzones-update.lock/pid"
run_job -c "$conf"
expect_status 0
expect_silent
expect_unlocked

what="stale lock without a PID"
mkdir "$cache/.hostzones-update.lock"
run_job -c "$conf"
expect_status 0
expect_silent
expect_unlocked
expect_checks 4
expect_reloads 3

echo "PASS: hostzones-update against unbound $(unbound -V | sed -n '1s/Version //p')"
