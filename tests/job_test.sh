#!/bin/sh
# shellcheck disable=SC2034,SC2154  # cmake, build_dir; job, hostzones, prefix, bb, job_path, job_sh: support/job_install.sh
# The installed nightly job, hostzones-update, against a running resolver.
#
#   job_test.sh CMAKE BUILD_DIR [SHELL]
#
# Installs BUILD_DIR into a temporary prefix, starts unbound on 127.0.0.1 at
# a free port with remote control over a unix socket, serves the lists with
# tests/support/http_server.py on 127.0.0.1, and runs the installed job the
# way cron does (env -i PATH=/usr/bin:/bin) under SHELL: sh (the default),
# dash, posh, or busybox, where the job is installed with a PATH of busybox
# applets, the resolver's tools and the converter alone, as on a router.
# Scenarios: bad settings; a clean run; an unchanged rerun; refused
# downloads (a 404, an HTML page behind a byte-order mark, an empty local
# list, cut-off transfers, a list that shrank); a lost cache; a first run
# with a list missing; a changed list whose configuration check fails; a
# failed reload and its retry; lists that yield no zone; directories the
# job cannot write; what the job refuses to trust; linked fragments; long
# URLs; the lock: a second run, a run killed outright, a run stopped by
# SIGTERM, and, with the mkdir lock the job falls back on without flock(1)
# (the job installed once more without it where it has it), stale locks and
# two runs meeting one; the live apply (names added and removed live, and
# each fallback on one reload: no record, apply=reload, a control that
# fails, a restarted resolver, a difference too large), the allowlist (an
# allowed name beneath a blocked parent, asked over DNS), and 10 % of a
# 200,000-zone fragment given live while tests/support/dns_probe.py asks
# the resolver every 50 ms (none may go unanswered). The job's runs set
# apply=reload until the live apply's part. What the resolver serves is
# read with unbound-control list_local_zones, its reloads from its own log.
#
# Every process it starts listens on loopback only, is bounded in time
# (timeout(1), or a job whose check waits at most 30 seconds) and is stopped
# by its PID when the test ends.
#
# Exit status 0: passed; 77: unbound, curl or python3 is missing (skipped,
# unless the environment variable CI is set, where that is a failure); else
# failed.
set -eu

cmake=$1
build_dir=$2
job_shell=${3:-sh}

PATH=$PATH:/usr/sbin:/sbin:/usr/local/sbin:/usr/local/bin
export PATH

# fail, need, cleanup, start, wait_ready and the checks of a run.
# shellcheck source=/dev/null
. "$(dirname "$0")/support/job_expect.sh"

need unbound
need unbound-control unbound
need unbound-checkconf unbound
for tool in curl python3 timeout "$job_shell"; do need "$tool"; done

work=$(mktemp -d "${TMPDIR:-/tmp}/hostzones-job.XXXXXX")
pids=""
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# Seconds any process started here may live; the whole test takes far less.
LIFETIME=420

www=$work/www
local_lists=$work/local
cache=$work/cache
fragment=$work/unbound/blocklist.zones
mkdir -p "$www" "$local_lists" "$work/unbound"

# The installed job ($job, $hostzones), the shell ($job_sh) and PATH
# ($job_path) to run it with; for busybox, $bb, the directory of applets.
# shellcheck source=/dev/null
. "$(dirname "$0")/support/job_install.sh"
# The lock the job takes where flock(1) is missing: a directory in the cache.
if { [ "$job_shell" = busybox ] && [ ! -e "$bb/flock" ]; } ||
   { [ "$job_shell" != busybox ] && ! command -v flock >/dev/null 2>&1; }; then
  lock_method='mkdir'
else
  lock_method='flock'
fi
[ -f "$prefix/etc/hostzones-update.conf.sample" ] || fail "no sample configuration installed"
[ -f "$prefix/share/man/man8/hostzones-update.8" ] || fail "no manual page installed"
grep -q "^hostzones='$hostzones'$" "$job" || fail "the installed job does not call $hostzones"

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

# The loopback HTTP server of the tests: $www's files under /files/, and
# answers that misbehave on request, such as /cut-length, a transfer cut
# short of its Content-Length.
start "$work/server.out" python3 "$(dirname "$0")/support/http_server.py" "$www" "$work/port" \
  "$work/http.log" $((LIFETIME - 5))
wait_ready 100 test -s "$work/port" || fail "the HTTP server did not start: $(cat "$work/server.out")"
base=http://127.0.0.1:$(sed -n 1p "$work/port")
url=$base/files
cut_url=$base/cut-length

# --- The resolver -----------------------------------------------------------

unbound_conf=$work/unbound/unbound.conf
write_unbound_conf() {
  resolver_port=$1
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
    resolver=$started
    if wait_ready 100 control status; then return 0; fi
    kill "$started" 2>/dev/null || true
  done
  fail "unbound did not start: $(cat "$work/unbound.log")"
}

# The set-up the documentation gives: the fragment exists before the resolver
# includes it.
: >"$fragment"
start_resolver
# The zones the resolver serves of its own, without the fragment.
control list_local_zones | sort >"$work/builtin.zones"

reloads() {
  grep -c 'Restart of unbound' "$work/unbound.log" || true
}

# Notes the counts of checks and reloads so far, for expect_new_*.
mark() {
  marked_checks=$(checks)
  marked_reloads=$(reloads)
}

expect_new_checks() {
  expect_checks $((marked_checks + $1))
}

expect_new_reloads() {
  expect_reloads $((marked_reloads + $1))
}

# Waits until the resolver has reloaded $1 times in all.
expect_reloads() {
  i=0
  while [ "$(reloads)" -lt "$1" ] && [ "$i" -lt 100 ]; do
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

# The resolver serves its own zones and the fragment's, and nothing else.
expect_serves_fragment() {
  { cat "$work/builtin.zones"
    sed -n 's/^local-zone: "\(.*\)" \([a-z_]*\)$/\1. \2/p' "$fragment"
  } | sort >"$work/expected.zones"
  local_zones | sort >"$work/served.zones"
  cmp -s "$work/expected.zones" "$work/served.zones" ||
    fail "$what: the resolver's zones are not the fragment's: $(diff "$work/expected.zones" "$work/served.zones" | sed -n 2,6p)"
}

# How the resolver was last given the fragment, from the job's record.
given_by() {
  sed -n 's/^given \([a-z]*\) .*/\1/p' "$cache/.resolver-given"
}

# --- The job ----------------------------------------------------------------

# Writes the job's configuration $1 with the lists "$2", the default set-up
# otherwise, but for apply=reload unless $job_apply says otherwise (the live
# apply has a part of its own below); further lines ($3) are appended. Each check is logged so that
# the test can tell whether one ran.
write_job_conf() {
  cat >"$1" <<EOF
lists="$2"
fragment=$fragment
cache=$cache
checkconf="echo >>$work/checks.log; unbound-checkconf $unbound_conf"
control="unbound-control -c $unbound_conf"
reload="unbound-control -c $unbound_conf reload"
${job_apply-apply=reload}
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
  timeout 60 env -i PATH="$job_path" "$job_sh" "$job" "$@" >"$work/out" 2>"$work/err" ||
    job_status=$?
}

# Starts the job in the background as run_job does, its output in $1.out and
# $1.err; env execs the shell, so $! is the job's own PID.
start_job() {
  out=$1
  shift
  env -i PATH="$job_path" "$job_sh" "$job" "$@" >"$out.out" 2>"$out.err" &
  pids="$pids $!"
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

# The cached copies, the records of what the resolver was given and of each
# list's last result aside.
expect_cache_unchanged() {
  rm -rf "$work/cache.now"
  cp -R "$cache" "$work/cache.now"
  for dir in "$work/cache.now" "$work/cache.before"; do
    find "$dir" -name '.*' -type f -exec rm -f {} +
  done
  diff -r "$work/cache.before" "$work/cache.now" >/dev/null 2>&1 || fail "$what: the cached copies changed"
}

# The whole cache as it is, records included, for expect_cache_same.
snapshot_cache() {
  rm -rf "$work/cache.all"
  cp -Rp "$cache" "$work/cache.all"
}

expect_cache_same() {
  diff -r "$work/cache.all" "$cache" >/dev/null 2>&1 ||
    fail "$what: the cache changed: $(diff -r "$work/cache.all" "$cache" 2>&1 | head -n 5)"
}

# The job's lines for the system log so far (the test's logger, see
# support/job_install.sh).
log_lines() {
  if [ -f "$syslog" ]; then wc -l <"$syslog" | tr -d ' '; else echo 0; fi
}

mark_log() {
  marked_log=$(log_lines)
}

# The run since mark_log left one line in the system log, under the job's
# tag, that holds every given text.
expect_log() {
  [ "$(log_lines)" -eq $((marked_log + 1)) ] ||
    fail "$what: $(($(log_lines) - marked_log)) lines for the system log, expected 1"
  line=$(tail -n 1 "$syslog")
  case $line in
    "-t hostzones-update "*) ;;
    *) fail "$what: not under the tag hostzones-update: $line" ;;
  esac
  for text in "$@"; do
    case $line in
      *"$text"*) ;;
      *) fail "$what: no '$text' in the line for the system log: $line" ;;
    esac
  done
  echo "$what, in the system log: $line"
}

expect_no_log() {
  [ "$(log_lines)" -eq "$marked_log" ] || fail "$what: a line for the system log: $(tail -n 1 "$syslog")"
}

# The answers of the HTTP server to the path $1 since mark_http, as
# "STATUS BYTES" (the body's), separated by ", ".
mark_http() {
  marked_http=$(wc -l <"$work/http.log" | tr -d ' ')
}

answers() {
  awk -v p="$1" -v from="$marked_http" \
    'NR > from && $2 == "SENT" && $5 == p { printf "%s%s %s", sep, $3, $4; sep = ", " }' \
    "$work/http.log"
}

expect_answers() {
  [ "$(answers "$1")" = "$2" ] || fail "$what: the server answered $1 with '$(answers "$1")', expected '$2'"
}

# Status 0, nothing on standard error, and a report on standard output,
# shown in the test's log.
expect_report() {
  expect_status 0
  [ ! -s "$work/err" ] || fail "$what: output on stderr: $(cat "$work/err")"
  echo "$what:"
  sed 's/^/  /' "$work/out"
}

# A line on standard output that holds every given text.
expect_output() {
  expect_line "$work/out" "on standard output" "$@"
}

# No lock, no scratch directory left in the cache $1 (default $cache).
expect_unlocked() {
  [ ! -e "${1:-$cache}/.hostzones-update.lock" ] || fail "$what: the lock was left behind"
  for left in "${1:-$cache}"/.run.*; do
    [ ! -e "$left" ] || fail "$what: the scratch directory $left was left behind"
  done
}


# Another user to own files the job must refuse: only root can give files
# away, so those cases run only as root (as in CI).
other_user=
if [ "$(id -u)" -eq 0 ]; then
  for user in nobody daemon; do
    if id "$user" >/dev/null 2>&1; then other_user=$user; break; fi
  done
fi

# --- Bad settings: one message, exit 1, nothing changed ----------------------

what="bad settings"
printf 'local-zone: "before.example" static\n' >"$fragment"
snapshot
bad_cache=$work/no-cache
bad() {
  printf '%s\n' "$1" >"$work/bad.conf"
  run_job -c "$work/bad.conf"
  what="bad setting ($1)"
  expect_failure "$2"
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
bad "lists=$url/hosts.txt allow=relative/allow.txt $ok_settings" "allow: neither an http(s) URL nor an absolute path"
bad "lists=$url/hosts.txt allow=$url/hosts.txt $ok_settings" "allow: listed twice"
bad "lists=$url/hosts.txt $ok_settings apply=sometimes" "apply: neither live nor reload"
bad "lists=$url/hosts.txt $ok_settings control=no-such-control" "control: command not found: no-such-control"
bad "lists=$url/hosts.txt $ok_settings min_list_share=half" "min_list_share: not a whole percentage"
bad "lists=$url/hosts.txt $ok_settings min_list_share=101" "min_list_share: not a whole percentage"
bad "$(printf 'lists=%s\r\nfragment=%s\r\ncache=%s\r' "$url/hosts.txt" "$fragment" "$bad_cache")" \
  "CR (DOS) line ends"
run_job -c "$work/missing.conf"
what="missing configuration"
expect_failure "$work/missing.conf"
run_job -x
what="unknown option"
expect_failure "usage"
run_job -n -s -c "$conf"
what="a dry run and the status at once"
expect_failure "usage: hostzones-update [-n | -s] [-v] [-c config]"
: >"$fragment"

# --- A clean run, then the same again -----------------------------------------

what="clean run"
mark
mark_log
mark_http
run_job -c "$conf"
expect_status 0
expect_silent
expect_fragment_is_reference
expect_new_checks 1
expect_new_reloads 1
ref_zones=$(grep -c '^local-zone:' "$work/reference.zones")
expect_log "lists fresh 3, unchanged 0, cached 0; zones $ref_zones; added $ref_zones, removed 0; reload;"
expect_answers /files/hosts.txt "200 $(wc -c <"$www/hosts.txt" | tr -d ' ')"
# Each list's validators are in its record in the cache.
grep -q '^etag "' "$cache/.$(printf '%s' "$url/hosts.txt" | tr -c 'A-Za-z0-9._-' '_').state" ||
  fail "$what: no ETag in the record of $url/hosts.txt"
expect_blocked ads.example.com tracker.example.com telemetry.example.net adserver.example \
  metrics.example.io local-ads.example
# Listed against 1.1.1.1: neither the exempt name nor its listed child.
expect_not_blocked keep.example.org sub.keep.example.org
expect_unlocked
# shellcheck disable=SC2012  # the mode letters of one directory
[ "$(ls -ld "$cache" | cut -c1-10)" = drwx------ ] || fail "$what: the new cache is not mode 0700"

what="unchanged rerun"
snapshot
mark
mark_log
mark_http
run_job -c "$conf"
expect_status 0
expect_silent
expect_fragment_unchanged
expect_new_checks 0
expect_new_reloads 0
# Asked conditionally: no list's body was sent again.
expect_answers /files/hosts.txt "304 0"
expect_answers /files/domains.txt "304 0"
expect_cache_unchanged
expect_log "lists fresh 1, unchanged 2, cached 0; zones $ref_zones; added 0, removed 0; no reload needed;"

# --- Status, a dry run, a verbose run ------------------------------------------

what="status"
mark_log
snapshot_cache
run_job -s -c "$conf"
expect_report
expect_output "LIST" "KIND" "AGE" "NAMES" "LAST RESULT"
expect_output "$url/hosts.txt " "block" " 5 " "unchanged (304), "
expect_output "$url/domains.txt " "block" " 3 " "unchanged (304), "
expect_output "$local_lists/extra.txt " "block" " 1 " "fresh, "
expect_output "fragment $fragment: $ref_zones zones"
expect_output "resolver: given this fragment" "ago, by reload"
expect_cache_same
expect_no_log

what="dry run"
printf '0.0.0.0 dry.example.com\n' >>"$www/hosts.txt"
printf 'adserver.example\nads.example.com\n' >"$www/domains.txt"
snapshot
snapshot_cache
mark
mark_log
run_job -n -c "$conf"
expect_report
expect_output "lists: 3 fresh, 0 unchanged (304), 0 from the last good copy"
expect_output "zones: $ref_zones, now $ref_zones: 1 to add, 1 to remove"
expect_output "add dry.example.com"
expect_output "remove metrics.example.io"
expect_fragment_untouched
expect_cache_same
expect_new_checks 0
expect_new_reloads 0
expect_not_blocked dry.example.com
expect_blocked metrics.example.io
expect_no_log
expect_unlocked

what="verbose run"
mark
mark_log
run_job -v -c "$conf"
expect_report
expect_output "$url/hosts.txt: fresh"
expect_output "$url/domains.txt: fresh"
expect_output "$local_lists/extra.txt: fresh"
expect_output "converted: $ref_zones zones, 1 added and 1 removed"
expect_output "given the fragment by reload"
expect_output "done in"
expect_new_reloads 1
expect_blocked dry.example.com
expect_not_blocked metrics.example.io
expect_log "lists fresh 3, unchanged 0, cached 0; zones $ref_zones; added 1, removed 1; reload;"
write_lists
run_job -c "$conf"
expect_status 0

what="dry run against an unchanged server"
snapshot_cache
mark_http
run_job -n -c "$conf"
expect_status 0
expect_output "lists: 1 fresh, 2 unchanged (304), 0 from the last good copy"
expect_output "zones: $ref_zones, now $ref_zones: 0 to add, 0 to remove"
expect_answers /files/hosts.txt "304 0"
expect_cache_same

# --- Refused downloads: the last good copies ---------------------------------

what="a list added"
printf 'one.example\ntwo.example\nthree.example\n' >"$www/shrinking.txt"
write_job_conf "$work/more.conf" "$all_lists $url/shrinking.txt"
mark
run_job -c "$work/more.conf"
expect_status 0
expect_silent
expect_new_reloads 1

what="404, HTML page behind a byte-order mark, empty list, a list that shrank"
snapshot
mark
mark_log
printf '\357\273\277\n  \n\t<!DOCTYPE html>\n<html><body>Mirror maintenance</body></html>\n' >"$www/hosts.txt"
rm "$www/domains.txt"
: >"$local_lists/extra.txt"
# 1 name where the last good copy has 3: under the default 50%.
printf 'shrunk.example\n' >"$www/shrinking.txt"
run_job -c "$work/more.conf"
expect_status 1
expect_messages 4
expect_message "$url/hosts.txt" "HTML" "last good copy"
expect_message "$url/domains.txt" "404" "last good copy"
expect_message "$local_lists/extra.txt" "empty" "last good copy"
expect_message "$url/shrinking.txt" "1 names where the last good copy has 3" "min_list_share=50%" "delete $cache/" "last good copy"
expect_cache_unchanged
expect_fragment_unchanged
expect_new_checks 0
expect_new_reloads 0
expect_blocked ads.example.com adserver.example local-ads.example one.example
expect_not_blocked shrunk.example
expect_unlocked

expect_log "failed: $url/hosts.txt: an HTML page" " | $url/domains.txt: download failed" "404"

what="status after refusals"
run_job -s -c "$work/more.conf"
expect_status 0
expect_output "$url/hosts.txt " "refused: an HTML page, not a list, "
expect_output "$url/domains.txt " "failed: download failed (" "404"
expect_output "$local_lists/extra.txt " "refused: empty, "
expect_output "$url/shrinking.txt " " 3 " "refused: 1 names where the last good copy has 3"

what="a transfer cut short by a closed connection, without Content-Length"
cut_side=$work/cut-side
mkdir -p "$cut_side/cache"
cut_copy=$cut_side/cache/$(printf '%s\n' "$base/cut" | tr -c 'A-Za-z0-9._\n-' '_')
i=0
while [ "$i" -lt 20 ]; do echo "0.0.0.0 host$i.example.com"; i=$((i + 1)); done >"$cut_copy"
cp "$cut_copy" "$cut_side/before"
write_job_conf "$cut_side/job.conf" "$base/cut" \
  "fragment=$cut_side/blocklist.zones cache=$cut_side/cache checkconf=true reload=true"
run_job -c "$cut_side/job.conf"
expect_failure "$base/cut" "where the last good copy has 20" "last good copy"
cmp -s "$cut_copy" "$cut_side/before" || fail "$what: the cached copy was replaced"
grep -q '"host19.example.com"' "$cut_side/blocklist.zones" || fail "$what: the fragment lacks the cached copy"

what="a list that really shrank, with min_list_share=0"
write_lists
write_job_conf "$work/more.conf" "$all_lists $url/shrinking.txt" "min_list_share=0"
run_job -c "$work/more.conf"
expect_status 0
expect_silent
expect_new_reloads 1
expect_blocked shrunk.example
expect_not_blocked one.example

what="a page without names"
snapshot
printf 'Service unavailable, try again later.\n' >"$www/hosts.txt"
run_job -c "$conf"
expect_status 1
expect_message "$url/hosts.txt" "no names" "last good copy"
expect_cache_unchanged

what="a cut-off transfer and a list never fetched"
write_lists
run_job -c "$conf"
expect_status 0
snapshot
mark
write_job_conf "$work/more.conf" "$all_lists $cut_url $url/never.txt"
run_job -c "$work/more.conf"
expect_status 1
expect_messages 2
expect_message "$cut_url" "download failed" "no cached copy" "left as it was"
expect_message "$url/never.txt" "404" "no cached copy" "left as it was"
expect_fragment_untouched
expect_new_checks 0
expect_new_reloads 0
expect_not_blocked cut.example.com
expect_unlocked

# --- A lost cache, a first run with a list missing ---------------------------

what="lost cache with a list answering 404"
snapshot
mark
rm -rf "$cache"
rm "$www/domains.txt"
run_job -c "$conf"
expect_failure "$url/domains.txt" "404" "no cached copy" "left as it was"
expect_fragment_untouched
expect_new_checks 0
expect_new_reloads 0
expect_blocked adserver.example metrics.example.io
expect_unlocked
write_lists

what="first run with a list missing"
first_dir=$work/first
mkdir "$first_dir"
write_job_conf "$work/first.conf" "$url/hosts.txt $url/never.txt" \
  "fragment=$first_dir/blocklist.zones cache=$first_dir/cache checkconf=true reload=true"
run_job -c "$work/first.conf"
expect_failure "$url/never.txt" "404" "left out of the first fragment"
grep -q '"ads.example.com"' "$first_dir/blocklist.zones" || fail "$what: no fragment of the other list"
expect_unlocked "$first_dir/cache"

# --- A changed list whose check fails: the previous fragment back ------------

what="failing check"
run_job -c "$conf"
expect_status 0
printf '0.0.0.0 new.example.com\n' >>"$www/hosts.txt"
snapshot
mark
printf 'server:\n  no-such-option: yes\n' >"$work/broken.conf"
write_job_conf "$work/broken-check.conf" "$all_lists" \
  "checkconf=\"echo >>$work/checks.log; unbound-checkconf $work/broken.conf\""
run_job -c "$work/broken-check.conf"
expect_failure "configuration check failed" "no-such-option" "previous fragment is back"
expect_fragment_unchanged
expect_new_checks 1
expect_new_reloads 0
expect_not_blocked new.example.com
expect_blocked ads.example.com
# The previous fragment came back by a rename of a file made by mktemp:
# nothing else is left beside it.
for left in "$work/unbound"/* "$work/unbound"/.*; do
  case ${left##*/} in
    . | .. | unbound.conf | unbound.pid | control.sock | blocklist.zones) ;;
    *) [ ! -e "$left" ] || fail "$what: left in the fragment's directory: $left" ;;
  esac
done

what="a check that fails without a word"
write_job_conf "$work/quiet-check.conf" "$all_lists" "checkconf=false"
run_job -c "$work/quiet-check.conf"
expect_failure "configuration check failed" "status 1, no output" "previous fragment is back"
expect_fragment_unchanged

what="recovery"
mark
run_job -c "$conf"
expect_status 0
expect_silent
expect_fragment_is_reference
expect_new_checks 1
expect_new_reloads 1
expect_blocked new.example.com ads.example.com local-ads.example

# --- A failed reload is tried again by every run until it succeeds -----------

what="failed reload"
sed 's#control-interface: .*#control-interface: "'"$work"'/no-such.sock"#' "$unbound_conf" \
  >"$work/no-control.conf"
write_job_conf "$work/no-reload.conf" "$all_lists" \
  "reload=\"unbound-control -c $work/no-control.conf reload\""
printf '0.0.0.0 later.example.com\n' >>"$www/hosts.txt"
mark
run_job -c "$work/no-reload.conf"
expect_failure "reload failed" "no-such.sock" "next run reloads again"
expect_new_checks 1
expect_new_reloads 0
expect_not_blocked later.example.com
run_job -s -c "$conf"
expect_status 0
expect_output "resolver: not known to hold this fragment (given another " " ago, by reload); the next run gives it"

what="failed reload, the next run with nothing new"
run_job -c "$work/no-reload.conf"
expect_failure "reload failed" "next run reloads again"
expect_new_checks 2
expect_new_reloads 0

what="reload retried with nothing new"
run_job -c "$conf"
expect_status 0
expect_silent
expect_new_checks 3
expect_new_reloads 1
expect_blocked later.example.com

what="after the retry"
run_job -c "$conf"
expect_status 0
expect_silent
expect_new_checks 3
expect_new_reloads 1

# --- Lists that yield no zone: the fragment stays ----------------------------

what="lists that yield no zone"
snapshot
mark
printf '1.1.1.1 ads.example.com other.example.com\n' >"$www/hosts.txt"
printf '1.1.1.1 adserver.example\n' >"$www/domains.txt"
printf '1.1.1.1 local-ads.example\n' >"$local_lists/extra.txt"
write_job_conf "$work/any-share.conf" "$all_lists" "min_list_share=0"
run_job -c "$work/any-share.conf"
expect_failure "no zone" "left as it was"
# The converter itself leaves the fragment alone: the very same file.
expect_fragment_untouched
expect_new_checks 0
expect_new_reloads 0
expect_blocked later.example.com ads.example.com
write_lists
run_job -c "$conf"
expect_status 0

# --- Directories the job cannot write: the reason, the rest untouched ----------

# Made immutable with chattr(1) where the file system allows it (root can
# write any mode).
immutable=
if command -v chattr >/dev/null 2>&1 && mkdir "$work/probe-immutable" &&
   chattr +i "$work/probe-immutable" 2>/dev/null; then
  chattr -i "$work/probe-immutable"
  rmdir "$work/probe-immutable"

  what="a fragment directory the job cannot write"
  printf '0.0.0.0 unwritten.example.com\n' >>"$www/hosts.txt"
  snapshot
  mark
  immutable=$work/unbound
  chattr +i "$immutable"
  run_job -c "$conf"
  chattr -i "$immutable"
  expect_failure "cannot write the fragment $fragment" "Operation not permitted" "left as it was"
  expect_fragment_untouched
  expect_new_reloads 0
  expect_unlocked

  what="a cache the job cannot write"
  snapshot
  immutable=$cache
  chattr +i "$immutable"
  run_job -c "$conf"
  chattr -i "$immutable"
  immutable=
  expect_failure "in the cache $cache" "Operation not permitted"
  expect_fragment_untouched
  expect_new_reloads 0
  write_lists
else
  rmdir "$work/probe-immutable" 2>/dev/null || true
  echo "(no chattr +i here: the cases of directories the job cannot write are left out)"
fi

# --- What the job refuses to trust --------------------------------------------

# Each case: one line naming the path, exit 1, the fragment, the cache and
# the resolver untouched, and no line of the configuration run.
trust=$work/trust
mkdir "$trust"
ran=$work/config-ran
refused() {
  what="refused: $1"
  snapshot
  mark
  run_job -c "$2"
  expect_failure "$3" "$4"
  expect_fragment_untouched
  expect_cache_unchanged
  expect_new_checks 0
  expect_new_reloads 0
  # Only a trusted configuration runs at all.
  case $3 in
    *.conf) [ ! -e "$ran" ] || fail "$what: the configuration ran" ;;
  esac
  rm -f "$ran"
}
# A configuration that says when it runs.
trust_conf() {
  write_job_conf "$1" "$all_lists" "${2:-}
touch $ran"
}

mkdir -m 0777 "$trust/open"
trust_conf "$trust/open/job.conf"
refused "configuration in a directory others may write" "$trust/open/job.conf" \
  "$trust/open " "writable by group or others"

trust_conf "$trust/group.conf"
chmod 0664 "$trust/group.conf"
refused "configuration others may write" "$trust/group.conf" "$trust/group.conf" \
  "writable by group or others"

mkdir -m 0777 "$trust/open-cache"
trust_conf "$trust/open-cache.conf" "cache=$trust/open-cache"
refused "cache others may write" "$trust/open-cache.conf" "$trust/open-cache" \
  "writable by group or others"

mkdir -m 0777 "$trust/open-above"
trust_conf "$trust/open-above.conf" "cache=$trust/open-above/cache"
refused "cache in a directory others may write" "$trust/open-above.conf" \
  "$trust/open-above " "writable by group or others"
[ ! -e "$trust/open-above/cache" ] || fail "$what: the cache was created"

mkdir -m 0777 "$trust/open-fragment"
trust_conf "$trust/open-fragment.conf" "fragment=$trust/open-fragment/blocklist.zones"
refused "fragment in a directory others may write" "$trust/open-fragment.conf" \
  "$trust/open-fragment " "writable by group or others"

# A sticky directory (as /tmp) is fine: no one replaces another's entries.
mkdir -m 1777 "$trust/sticky"
write_job_conf "$trust/sticky/job.conf" "$all_lists"
what="configuration in a sticky directory"
run_job -c "$trust/sticky/job.conf"
expect_status 0
expect_silent

if [ -n "$other_user" ]; then
  trust_conf "$trust/other.conf"
  chown "$other_user" "$trust/other.conf"
  refused "configuration of another user" "$trust/other.conf" "$trust/other.conf" \
    "belongs to user"

  mkdir "$trust/other-cache"
  chown "$other_user" "$trust/other-cache"
  trust_conf "$trust/other-cache.conf" "cache=$trust/other-cache"
  refused "cache of another user" "$trust/other-cache.conf" "$trust/other-cache" \
    "belongs to user"

  # A linked fragment whose target lies in another user's directory.
  mkdir "$trust/other-target"
  cp "$fragment" "$trust/other-target/blocklist.zones"
  chown -R "$other_user" "$trust/other-target"
  mkdir "$trust/linked"
  ln -s "$trust/other-target/blocklist.zones" "$trust/linked/blocklist.zones"
  trust_conf "$trust/other-target.conf" "fragment=$trust/linked/blocklist.zones"
  refused "linked fragment in another user's directory" "$trust/other-target.conf" \
    "$trust/other-target" "belongs to user"
else
  echo "(not root: the cases of files of another user are left out)"
fi

# --- A linked fragment stays a link -------------------------------------------

what="linked fragment"
side=$work/side
mkdir -p "$side/real" "$side/conf.d"
ln -s ../real/blocklist.zones "$side/conf.d/blocklist.zones"
write_job_conf "$side/job.conf" "$all_lists" \
  "fragment=$side/conf.d/blocklist.zones cache=$side/cache checkconf=true reload=true"
run_job -c "$side/job.conf"
expect_status 0
expect_silent
[ -L "$side/conf.d/blocklist.zones" ] || fail "$what: the link was replaced"
reference
cmp -s "$side/real/blocklist.zones" "$work/reference.zones" || fail "$what: the target is not the fragment"

what="linked fragment whose check fails"
cp "$side/real/blocklist.zones" "$side/before"
printf '0.0.0.0 linked.example.com\n' >>"$www/hosts.txt"
write_job_conf "$side/fail.conf" "$all_lists" \
  "fragment=$side/conf.d/blocklist.zones cache=$side/cache checkconf=false reload=true"
run_job -c "$side/fail.conf"
expect_status 1
expect_message "previous fragment is back"
[ -L "$side/conf.d/blocklist.zones" ] || fail "$what: the link was replaced"
cmp -s "$side/real/blocklist.zones" "$side/before" || fail "$what: the target is not the previous fragment"
[ "$(ls -A "$side/real")" = blocklist.zones ] || fail "$what: left beside the target: $(ls -A "$side/real")"
write_lists

# --- A URL too long for a file name -------------------------------------------

what="long URL"
long_url="$url/hosts.txt?$(printf '%0300d' 0)"
write_job_conf "$side/long.conf" "$long_url" \
  "fragment=$side/long.zones cache=$side/long-cache checkconf=true reload=true"
run_job -c "$side/long.conf"
expect_status 0
expect_silent
copies=$(ls "$side/long-cache")
[ "$(printf '%s\n' "$copies" | wc -l)" -eq 1 ] || fail "$what: not one copy: $copies"
for copy in $copies; do
  [ "${#copy}" -le 200 ] || fail "$what: a cache name of ${#copy} bytes"
done
run_job -c "$side/long.conf"
expect_status 0
[ "$(ls "$side/long-cache")" = "$copies" ] || fail "$what: the cache name changed"

# --- One run at a time ---------------------------------------------------------

# Configuration $1 whose check waits until the file $work/go appears.
write_slow_conf() {
  write_job_conf "$1" "$all_lists" \
    "checkconf=\"echo >>$work/checks.log; i=0; while [ ! -e $work/go ] && [ \\\$i -lt 300 ]; do sleep 0.1; i=\\\$((i + 1)); done; unbound-checkconf $unbound_conf\""
}
write_slow_conf "$work/slow.conf"

# Waits until $1 checks have run in all.
wait_checks() {
  i=0
  while [ "$(checks)" -lt "$1" ]; do
    i=$((i + 1))
    [ "$i" -lt 300 ] || fail "$what: no run reached its check"
    sleep 0.1
  done
}

# Adds the name $1 to the hosts list and starts the slow runs $2...
# ($work/NAME.out and .err for each) at once, their PIDs in $slow_pids;
# returns once one has reached its check, which then waits for $work/go.
start_slow_runs() {
  printf '0.0.0.0 %s\n' "$1" >>"$www/hosts.txt"
  shift
  mark
  rm -f "$work/go"
  slow_pids=
  for run in "$@"; do
    start_job "$work/$run" -c "$work/slow.conf"
    slow_pids="${slow_pids:+$slow_pids }$!"
  done
  wait_checks $((marked_checks + 1))
}

what="second run while one holds the lock"
start_slow_runs locked.example.com first
first=$slow_pids
# The run's scratch directory, made by mktemp -d: private to the run.
for scratch in "$cache"/.run.*; do
  # shellcheck disable=SC2012  # the mode letters of one directory
  [ "$(ls -ld "$scratch" | cut -c1-10)" = drwx------ ] || fail "$what: scratch $scratch is not mode 0700"
done
run_job -c "$conf"
expect_failure "holds the lock"
touch "$work/go"
first_status=0
wait "$first" || first_status=$?
[ "$first_status" -eq 0 ] || fail "$what: the first run exited $first_status: $(cat "$work/first.err")"
if [ -s "$work/first.out" ] || [ -s "$work/first.err" ]; then
  fail "$what: the first run printed something"
fi
expect_fragment_is_reference
expect_new_checks 1
expect_new_reloads 1
expect_blocked locked.example.com
expect_unlocked

what="a run killed outright"
start_slow_runs killed.example.com killed
killed=$slow_pids
kill -KILL "$killed"
wait "$killed" || true
touch "$work/go"
run_job -c "$conf"
if [ "$lock_method" = mkdir ]; then
  expect_failure "took over the lock" "PID $killed"
else
  expect_status 0
  expect_silent
fi
# The killed run's new fragment was never reloaded: this run does it.
expect_fragment_is_reference
expect_new_reloads 1
expect_blocked killed.example.com
expect_unlocked

what="a run stopped by SIGTERM before its check is done"
snapshot
start_slow_runs stopped.example.com stopped
stopped=$slow_pids
kill -TERM "$stopped"
touch "$work/go"
stopped_status=0
wait "$stopped" || stopped_status=$?
[ "$stopped_status" -eq 1 ] || fail "$what: exit status $stopped_status: $(cat "$work/stopped.err")"
cp "$work/stopped.err" "$work/err"
cp "$work/stopped.out" "$work/out"
expect_messages 1
expect_message "stopped by SIGTERM"
expect_fragment_unchanged
expect_new_reloads 0
expect_not_blocked stopped.example.com
expect_unlocked

# The mkdir lock, which the job falls back on where neither flock(1) nor
# lockf(1) is present: where the job took flock, it is installed once more
# with a PATH of the same tools but those.
locks=$lock_method
if [ "$lock_method" = flock ]; then
  no_flock=$work/no-flock
  mkdir "$no_flock"
  if [ -n "$bb" ]; then
    ln -s "$bb"/* "$no_flock/"
  else
    for dir in /usr/bin /usr/sbin /bin /sbin; do ln -s "$dir"/* "$no_flock/" 2>/dev/null || true; done
  fi
  rm -f "$no_flock/flock" "$no_flock/lockf" "$no_flock/logger"
  ln -s "$work/trace/logger" "$no_flock/logger"
  HOSTZONES_JOB_PATH=$no_flock "$cmake" --install "$build_dir" --prefix "$work/prefix-mkdir" \
    >"$work/install-mkdir.log" 2>&1 || fail "cmake --install: $(cat "$work/install-mkdir.log")"
  job=$work/prefix-mkdir/sbin/hostzones-update
  job_path=$no_flock
  lock_method='mkdir'
  locks="flock and mkdir"
fi

if [ "$lock_method" = mkdir ]; then
  lock=$cache/.hostzones-update.lock
  boot=$(cat /proc/sys/kernel/random/boot_id 2>/dev/null || echo '?')

  what="stale lock without an owner"
  mkdir "$lock"
  run_job -c "$conf"
  expect_failure "took over the lock" "named no run"
  expect_unlocked

  # A live process (this test) under the PID of a run from before a
  # reboot, and of a run of this boot that started at another time.
  for owner in "$$ another-boot ?" "$$ $boot 1"; do
    what="stale lock naming a live process ($owner)"
    mkdir "$lock"
    printf '%s\n' "$owner" >"$lock/owner"
    run_job -c "$conf"
    expect_failure "took over the lock" "PID $$"
    expect_unlocked
  done

  # A PID of a process that has ended.
  sh -c 'exit 0' &
  gone=$!
  wait "$gone" || true

  what="stale lock whose takeover was cut short"
  mkdir "$lock"
  printf '%s ? ?\n' "$gone" >"$lock/owner"
  mark=$lock/takeover-$(printf '%s ? ?' "$gone" | tr -c '0-9A-Za-z' '_')
  mkdir "$mark"
  printf '%s ? ?\n' "$gone" >"$mark/owner"
  run_job -c "$conf"
  expect_failure "took over the lock" "PID $gone"
  expect_unlocked

  what="two runs meeting one stale lock"
  mkdir "$lock"
  printf '%s ? ?\n' "$gone" >"$lock/owner"
  start_slow_runs race.example.com race1 race2
  race1=${slow_pids% *} race2=${slow_pids#* }
  # Whichever did not take the lock over ends at once.
  i=0
  while kill -0 "$race1" 2>/dev/null && kill -0 "$race2" 2>/dev/null; do
    i=$((i + 1))
    [ "$i" -lt 300 ] || fail "$what: neither run ended while the other held the lock"
    sleep 0.1
  done
  touch "$work/go"
  wait "$race1" || true
  wait "$race2" || true
  expect_new_checks 1
  cat "$work/race1.err" "$work/race2.err" >"$work/err"
  : >"$work/out"
  expect_messages 2
  expect_message "took over the lock" "PID $gone"
  expect_message "holds the lock"
  expect_blocked race.example.com
  expect_unlocked
fi

# --- Live apply, and the allowlist ----------------------------------------------

probe_script=$(dirname "$0")/support/dns_probe.py

# Names the resolver answers itself (from a static zone: NXDOMAIN,
# authoritative), and names it does not answer so.
expect_answered_locally() {
  for name in "$@"; do
    answer=$(timeout 10 python3 "$probe_script" "$resolver_port" query "$name")
    [ "$answer" = "NXDOMAIN aa" ] || fail "$what: $name not answered locally: $answer"
  done
}

expect_not_answered_locally() {
  for name in "$@"; do
    answer=$(timeout 10 python3 "$probe_script" "$resolver_port" query "$name")
    [ "$answer" != "NXDOMAIN aa" ] || fail "$what: $name answered locally"
  done
}

# A run with apply=live (the default) that gives the change live: no reload.
expect_live() {
  expect_status 0
  expect_silent
  expect_new_checks 1
  expect_new_reloads 0
  [ "$(given_by)" = live ] || fail "$what: the record says the fragment was given by: $(given_by)"
  expect_serves_fragment
}

# A run that falls back on one reload.
expect_one_reload() {
  expect_new_reloads 1
  [ "$(given_by)" = reload ] || fail "$what: the record says the fragment was given by: $(given_by)"
  expect_serves_fragment
}

write_lists
live_conf=$work/live.conf
# From here on the default apply, live.
job_apply=
write_job_conf "$live_conf" "$all_lists"

what="live: no record (a first run)"
rm -f "$cache/.resolver-given"
printf '0.0.0.0 live-first.example.com\n' >>"$www/hosts.txt"
mark
run_job -c "$live_conf"
expect_status 0
expect_silent
expect_one_reload

what="live: names added"
printf '0.0.0.0 live-one.example.com live-two.example.com\n' >>"$www/hosts.txt"
mark
mark_log
run_job -c "$live_conf"
expect_live
expect_blocked live-one.example.com live-two.example.com
expect_log "added 2, removed 0; live;"
run_job -s -c "$live_conf"
expect_status 0
expect_output "resolver: given this fragment" "ago, by live"

what="live: names removed"
write_lists
mark
run_job -c "$live_conf"
expect_live
expect_not_blocked live-one.example.com live-first.example.com

what="live: apply=reload"
printf '0.0.0.0 by-reload.example.com\n' >>"$www/hosts.txt"
mark
run_job -c "$conf"
expect_status 0
expect_silent
expect_one_reload

what="live: a live apply that fails"
{
  echo '#!/bin/sh'
  echo '# The control, but for its bulk commands, which fail.'
  echo 'case $* in *local_zones*) echo "error injected by the test"; exit 1 ;; esac'
  echo "exec $(command -v unbound-control) -c $unbound_conf \"\$@\""
} >"$work/flaky-control"
chmod +x "$work/flaky-control"
write_job_conf "$work/flaky.conf" "$all_lists" "unset reload
control=$work/flaky-control"
write_lists
mark
run_job -c "$work/flaky.conf"
expect_failure "live apply failed" "error injected by the test" "reloading instead"
expect_one_reload
expect_not_blocked by-reload.example.com

what="live: a restarted resolver"
kill "$resolver"
wait "$resolver" 2>/dev/null || true
start_resolver
printf '0.0.0.0 restarted.example.com\n' >>"$www/hosts.txt"
mark
run_job -c "$live_conf"
expect_status 0
expect_silent
expect_one_reload
expect_blocked restarted.example.com

what="live: a difference too large for a live apply"
awk 'BEGIN { for (i = 0; i < 3000; i++) print "many" i ".example" }' >"$local_lists/many.txt"
write_job_conf "$work/many.conf" "$all_lists $local_lists/many.txt"
mark
run_job -c "$work/many.conf"
expect_status 0
expect_silent
expect_one_reload

# A fetched allowlist of a bare name, and a local one in the hosts format
# against 1.1.1.1: an allowed name beneath a blocked parent, and a blocked
# name allowed outright.
what="allowlist"
write_lists
printf '0.0.0.0 parent.example\n0.0.0.0 ads.parent.example\n' >"$local_lists/parent.txt"
printf 'OK.Parent.example\n' >"$www/allow.txt"
printf '1.1.1.1 ads.example.com\n' >"$local_lists/allow.txt"
write_job_conf "$work/allow.conf" "$all_lists $local_lists/parent.txt"
mark
run_job -c "$work/allow.conf"
expect_status 0
expect_one_reload
printf 'allow="%s %s"\n' "$url/allow.txt" "$local_lists/allow.txt" >>"$work/allow.conf"
mark
run_job -c "$work/allow.conf"
# A transparent zone is never added live (see the job's apply_live).
expect_status 0
expect_silent
expect_one_reload
grep -Fqx 'local-zone: "ok.parent.example" transparent' "$fragment" ||
  fail "$what: no transparent zone for the allowed name: $(cat "$fragment")"
expect_not_blocked ads.example.com
expect_blocked parent.example tracker.example.com
expect_not_answered_locally ok.parent.example deep.sub.ok.parent.example ads.example.com
expect_answered_locally parent.example ads.parent.example sibling.parent.example tracker.example.com

what="allowlist: a download refused"
rm "$www/allow.txt"
snapshot
mark
run_job -c "$work/allow.conf"
expect_failure "$url/allow.txt" "404" "last good copy"
expect_fragment_unchanged
expect_new_reloads 0
run_job -s -c "$work/allow.conf"
expect_status 0
expect_output "$url/allow.txt " " allow " "failed: download failed (" "404"
expect_output "$local_lists/allow.txt " " allow " " 1 " "fresh, "
expect_output "$local_lists/parent.txt " " block " " 2 " "fresh, "

what="allowlist: a name no longer allowed"
printf 'other.example\n' >"$www/allow.txt"
mark
mark_log
run_job -c "$work/allow.conf"
expect_live
expect_log "lists fresh 4, unchanged 2, cached 0;" "; live;"
run_job -s -c "$work/allow.conf"
expect_status 0
expect_output "resolver: given this fragment" "ago, by live"
expect_answered_locally ok.parent.example

# 200,000 zones, of which 10 % change while a probe asks the resolver every
# 50 ms: no query goes unanswered.
what="live: 200,000 zones, the first time by a reload"
big=$local_lists/big.txt
awk 'BEGIN { for (i = 0; i < 200000; i++) print "z" i ".big.example" }' >"$big"
write_job_conf "$work/big.conf" "$big"
mark
run_job -c "$work/big.conf"
expect_status 0
expect_silent
expect_one_reload

what="live: 10 % of 200,000 zones changed under queries every 50 ms"
awk 'BEGIN { for (i = 0; i < 200000; i++) print (i < 20000 ? "new" : "z") i ".big.example" }' >"$big"
rm -f "$work/probe.stop"
timeout 200 python3 "$probe_script" "$resolver_port" watch \
  z199999.big.example "$work/probe.stop" 180 >"$work/probe.out" 2>"$work/probe.err" &
probe=$!
pids="$pids $probe"
sleep 0.5
mark
before=$(date +%s)
run_job -c "$work/big.conf"
after=$(date +%s)
touch "$work/probe.stop"
wait "$probe" || fail "$what: the probe failed: $(cat "$work/probe.err")"
expect_live
read -r _ sent _ failed <"$work/probe.out" || fail "$what: no count from the probe"
if [ "$sent" -eq 0 ] || [ "$failed" -ne 0 ]; then fail "$what: $failed of $sent probes failed ($(tr "\n" " " <"$work/probe.err"); the run from $before)"; fi
expect_blocked new0.big.example
expect_not_blocked z0.big.example
echo "$what: 40000 changes given live, the run took $((after - before)) s; $sent probes, $failed failed"

echo "PASS: hostzones-update under $job_shell ($locks locks) against unbound $(unbound -V | sed -n '1s/Version //p')"
