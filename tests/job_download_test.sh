#!/bin/sh
# The installed nightly job's downloads, against a loopback HTTP server that
# misbehaves on request (tests/support/http_server.py).
#
#   job_download_test.sh CMAKE BUILD_DIR [SHELL]
#
# Installs BUILD_DIR into a temporary prefix and runs the job the way cron
# does under SHELL: sh (the default), dash, posh, or busybox, where the job
# is installed with a PATH of busybox applets (and the resolver's tools)
# alone and so downloads with busybox wget. Otherwise each scenario runs
# with each downloader: curl, GNU wget and busybox wget. Scenarios:
#   - a plain download;
#   - max_list_bytes: a body of exactly the limit is taken, one byte more is
#     refused, an endless body is stopped at the limit, a larger local list
#     is refused;
#   - time limits: a server that never answers, one that stalls mid-body,
#     and a connection that is never accepted (connect_seconds);
#   - SIGTERM, SIGINT and SIGHUP during a download and during a pause
#     between tries: the run ends within 5 seconds, its download killed,
#     nothing left behind, the fragment and the resolver untouched;
#   - retries: 5xx then success with growing pauses, 4xx not retried, 5xx
#     and refused connections tried retries+1 times;
#   - protocols: a redirect to ftp:// refused, a redirect within http
#     followed where the downloader follows redirects; over TLS (a
#     self-signed certificate made with openssl), the certificate refused
#     with the tool's real reason and, the certificate trusted, a download
#     and a redirect from https to plain http refused (curl and GNU wget:
#     busybox 1.35's TLS does not get through to python's server);
#   - bad download settings.
# The resolver's check and reload are commands that log that they ran: the
# job's part with the resolver is the other job test's.
#
# Every process it starts listens on loopback only, runs under timeout(1)
# and is stopped by its PID when the test ends.
#
# Exit status 0: passed; 77: a needed tool is missing (skipped, unless the
# environment variable CI is set, where that is a failure); else failed.
set -eu

# shellcheck disable=SC2034  # both used by support/job_install.sh
cmake=$1 build_dir=$2
job_shell=${3:-sh}
here=$(cd "$(dirname "$0")" && pwd)

PATH=$PATH:/usr/sbin:/sbin:/usr/local/sbin:/usr/local/bin
export PATH

# fail, need, cleanup, start and the checks of a run.
# shellcheck source=/dev/null
. "$here/support/job_expect.sh"

for tool in python3 timeout unbound-control unbound-checkconf openssl; do need "$tool"; done
need ps procps
need "$job_shell" "$job_shell"
if [ "$job_shell" = busybox ]; then
  downloaders=default
else
  need curl
  need wget
  need busybox
  downloaders='curl wget busybox'
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/hostzones-download.XXXXXX")
pids=""
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# Seconds any process started here may live; the whole test takes far less.
LIFETIME=280

# Set by support/job_install.sh:
job='' job_path='' job_sh=''
# shellcheck source=/dev/null
. "$here/support/job_install.sh"

www=$work/www
cache=$work/cache
fragment=$work/unbound/blocklist.zones
mkdir -p "$www" "$work/unbound" "$work/local"
printf '0.0.0.0 ads.example.com\n0.0.0.0 tracker.example.net\n' >"$www/list.txt"
printf '0.0.0.0 base.example.org\n' >"$work/local/base.txt"

# --- The server -----------------------------------------------------------------

# A certificate for 127.0.0.1, and the files that make curl and GNU wget
# trust it.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >"$work/openssl.log" 2>&1 ||
  fail "openssl req: $(cat "$work/openssl.log")"
printf 'ca_certificate = %s\n' "$work/cert.pem" >"$work/wgetrc"
trust="CURL_CA_BUNDLE=$work/cert.pem WGETRC=$work/wgetrc"

start "$work/server.out" python3 "$here/support/http_server.py" "$www" "$work/port" \
  "$work/http.log" $((LIFETIME - 5)) "$work/cert.pem" "$work/key.pem"
wait_ready 100 test -s "$work/port" || fail "the HTTP server did not start: $(cat "$work/server.out")"
url=http://127.0.0.1:$(sed -n 1p "$work/port")
unaccepted=http://127.0.0.1:$(sed -n 2p "$work/port")
tls_url=https://127.0.0.1:$(sed -n 3p "$work/port")
# A port on 127.0.0.1 where nothing listens: the closed one of a socket
# bound a moment ago.
closed=$(free_port)

# The number of requests the server got for paths that begin with $1.
requests() {
  awk -v p="$1" 'index($3, p) == 1 { n++ } END { print n + 0 }' "$work/http.log"
}

# The server's answers to the file path $1, as "STATUS BYTES" (the body's),
# separated by ", ".
answers() {
  awk -v p="$1" '$2 == "SENT" && $5 == p { printf "%s%s %s", sep, $3, $4; sep = ", " }' "$work/http.log"
}

expect_answers() {
  [ "$(answers "$1")" = "$2" ] || fail "$what: the server answered $1 with '$(answers "$1")', expected '$2'"
}

# --- The job ------------------------------------------------------------------

# Writes the job's configuration with a local list that is always there and
# the lists $1, and the further settings $2; the download settings are
# short for the tests unless $2 sets them.
write_conf() {
  cat >"$work/job.conf" <<EOF
lists="$work/local/base.txt $1"
fragment=$fragment
cache=$cache
checkconf="echo check >>$work/applied.log"
reload="echo reload >>$work/applied.log"
download_seconds=3
connect_seconds=2
retries=0
retry_seconds=0
max_list_bytes=100000
downloader=$downloader
${2:-}
EOF
}

# Runs the installed job as cron would, with the further environment
# variables "$@"; its output in $work/out and $work/err, its exit status in
# $job_status, its seconds in $job_seconds.
# shellcheck disable=SC2034  # job_status: read by support/job_expect.sh
run_job() {
  job_status=0
  started=$(date +%s)
  timeout 60 env -i PATH="$job_path" "$@" "$job_sh" "$job" -c "$work/job.conf" \
    >"$work/out" 2>"$work/err" || job_status=$?
  job_seconds=$(($(date +%s) - started))
}

# Starts the job in the background as run_job does, waits until the server
# has had a request for a path that begins with $1 and $2 seconds more, then
# sends the run the signal $3 and waits for its end, at most 5 seconds; its
# exit status in $job_status. The run starts with SIGINT and SIGHUP at their
# defaults: a shell starts its background commands with SIGINT ignored, and
# the job could not trap it.
signal_job() {
  python3 -c 'import os, signal, sys
for s in (signal.SIGINT, signal.SIGHUP): signal.signal(s, signal.SIG_DFL)
os.execvp(sys.argv[1], sys.argv[1:])' \
    env -i PATH="$job_path" "$job_sh" "$job" -c "$work/job.conf" >"$work/out" 2>"$work/err" &
  run=$!
  pids="$pids $run"
  i=0
  until [ "$(requests "$1")" -gt 0 ]; do
    i=$((i + 1))
    [ "$i" -lt 100 ] || fail "$what: the download never started: $(cat "$work/err")"
    sleep 0.1
  done
  sleep "$2"
  kill -"$3" "$run"
  i=0
  while kill -0 "$run" 2>/dev/null; do
    i=$((i + 1))
    [ "$i" -le 50 ] || fail "$what: the run still runs 5 seconds after the signal"
    sleep 0.1
  done
  wait_job "$run"
}

expect_seconds_at_most() {
  [ "$job_seconds" -le "$1" ] || fail "$what: took $job_seconds s, more than $1 s"
}

applied() {
  if [ -f "$work/applied.log" ]; then wc -l <"$work/applied.log" | tr -d ' '; else echo 0; fi
}

snapshot() {
  cp -p "$fragment" "$work/fragment.before"
  applied_before=$(applied)
}

# The fragment as it was and no check or reload since the snapshot.
expect_untouched() {
  cmp -s "$fragment" "$work/fragment.before" || fail "$what: the fragment changed"
  [ "$(applied)" -eq "$applied_before" ] || fail "$what: the resolver was checked or reloaded"
}

# Nothing of a run left in the cache: no scratch directory, no lock.
expect_nothing_left() {
  left=$(find "$cache" -name '.run.*' -o -name '.lock.*' -o -name '.hostzones-update.lock')
  [ -z "$left" ] || fail "$what: left behind: $left"
}

# Whether a process whose command line holds $1 runs.
running() {
  # shellcheck disable=SC2009  # pgrep is not POSIX
  ps -eo args | grep -F -- "$1" | grep -v grep >/dev/null
}

# --- Settings -------------------------------------------------------------------

downloader=
for bad in 'max_list_bytes=abc:max_list_bytes: not a whole number' \
           'max_list_bytes=0:max_list_bytes: less than 1' \
           'download_seconds=0:download_seconds: less than 1' \
           'connect_seconds=1.5:connect_seconds: not a whole number' \
           'retries=-1:retries: not a whole number' \
           'retry_seconds=010:retry_seconds: not a whole number' \
           'max_list_bytes=9999999999999:max_list_bytes: too large' \
           'downloader=lynx:downloader: neither curl, wget, busybox nor fetch'; do
  what="bad setting ${bad%%:*}"
  write_conf "$url/files/list.txt" "${bad%%:*}"
  run_job
  expect_failure "${bad#*:}"
done

# A downloader the job's PATH lacks: on busybox alone, curl.
if [ "$job_shell" = busybox ]; then
  what="a downloader that is not installed"
  write_conf "$url/files/list.txt" "downloader=curl"
  run_job
  expect_failure "downloader: curl is not installed"
fi

# --- A local list over the limit ---------------------------------------------------

what="a local list of exactly max_list_bytes"
awk 'BEGIN { for (i = 0; i < 4000; i++) printf "0.0.0.0 local%04d.example\n", i }' \
  >"$work/local/list.txt"
size=$(wc -c <"$work/local/list.txt" | tr -d ' ')
write_conf "$work/local/list.txt" "max_list_bytes=$size"
run_job
expect_status 0
expect_silent
grep -q 'local0001\.example' "$fragment" || fail "$what: the list is not in the fragment"

what="a local list one byte over max_list_bytes"
snapshot
write_conf "$work/local/list.txt" "max_list_bytes=$((size - 1))"
run_job
expect_failure "$work/local/list.txt" "larger than max_list_bytes ($((size - 1)) bytes)" "last good copy"
expect_untouched

# --- Every downloader --------------------------------------------------------------

for downloader in $downloaders; do
  [ "$downloader" != default ] || downloader=
  via=${downloader:-default}
  q="d=$via"
  echo "downloader: $via"

  what="$via: a plain download"
  write_conf "$url/files/list.txt?$q"
  run_job
  expect_status 0
  expect_silent
  grep -q '"ads\.example\.com"' "$fragment" || fail "$what: the list is not in the fragment"
  expect_nothing_left

  # -- Conditional downloads: a 304 keeps the cached copy --
  size=$(wc -c <"$www/list.txt" | tr -d ' ')
  what="$via: the list again, unchanged (If-None-Match)"
  run_job
  expect_status 0
  expect_silent
  expect_answers "/files/list.txt?$q" "200 $size, 304 0"
  grep -q '"ads\.example\.com"' "$fragment" || fail "$what: the cached copy is not in the fragment"

  what="$via: the list again, unchanged, without an ETag (If-Modified-Since)"
  write_conf "$url/files/list.txt?etag=no&$q"
  run_job
  run_job
  expect_status 0
  expect_silent
  expect_answers "/files/list.txt?etag=no&$q" "200 $size, 304 0"
  grep -q '"ads\.example\.com"' "$fragment" || fail "$what: the cached copy is not in the fragment"

  what="$via: an ETag with a control byte in it"
  write_conf "$url/files/list.txt?etag=junk&$q"
  run_job
  run_job
  expect_status 0
  expect_silent
  state=$(find "$cache" -name ".*list.txt_etag_junk_d_$via.state")
  # Dropped (busybox wget drops the byte itself and shows the rest).
  ! LC_ALL=C grep -q '[^ -~]' "$state" || fail "$what: the record holds it: $(grep '^etag' "$state")"
  # The date, which is well formed, still makes the second request conditional.
  expect_answers "/files/list.txt?etag=junk&$q" "200 $size, 304 0"

  what="$via: the list changed on the server"
  write_conf "$url/files/list.txt?$q"
  cp "$www/list.txt" "$work/list.before"
  printf '0.0.0.0 changed-%s.example\n' "$via" >>"$www/list.txt"
  run_job
  expect_status 0
  expect_silent
  expect_answers "/files/list.txt?$q" "200 $size, 304 0, 200 $((size + ${#via} + 25))"
  grep -q "\"changed-$via\.example\"" "$fragment" || fail "$what: the new list is not in the fragment"
  cp "$work/list.before" "$www/list.txt"

  what="$via: a cached copy lost, its record left"
  run_job
  find "$cache" -name "*list.txt_d_$via" -type f -exec rm -f {} +
  run_job
  expect_status 0
  expect_silent
  # The copy was fetched again in full, once, although its record had an ETag.
  [ "$(answers "/files/list.txt?$q" | awk -F', ' '{ print $NF }')" = "200 $size" ] ||
    fail "$what: not fetched in full: $(answers "/files/list.txt?$q")"

  # -- Size --
  what="$via: a body of exactly max_list_bytes"
  write_conf "$url/big?bytes=100000&$q"
  run_job
  expect_status 0
  expect_silent

  what="$via: a body one byte over max_list_bytes"
  snapshot
  write_conf "$url/big?bytes=100001&$q"
  run_job
  expect_failure "$url/big?bytes=100001" "larger than max_list_bytes (100000 bytes)"
  expect_untouched

  what="$via: an endless body"
  write_conf "$url/endless?$q" "download_seconds=30"
  run_job
  expect_failure "$url/endless" "larger than max_list_bytes (100000 bytes); download stopped"
  expect_seconds_at_most 10
  expect_untouched
  expect_nothing_left

  # -- Time --
  what="$via: a server that never answers"
  write_conf "$url/stall?$q"
  run_job
  expect_failure "$url/stall" "timed out"
  expect_seconds_at_most 6
  expect_untouched

  what="$via: a body that stalls"
  write_conf "$url/stall-body?$q"
  run_job
  expect_failure "$url/stall-body" "timed out"
  expect_seconds_at_most 6
  expect_untouched

  what="$via: a connection never accepted"
  write_conf "$unaccepted/list.txt?$q" "connect_seconds=1
download_seconds=20"
  run_job
  expect_status 1
  expect_messages 1
  grep -i 'time' "$work/err" >/dev/null || fail "$what: not said as a timeout: $(cat "$work/err")"
  expect_seconds_at_most 4
  expect_untouched

  # -- Signals --
  for signal in TERM INT HUP; do
    what="$via: SIG$signal during a download"
    snapshot
    marker="stall?$q&signal=$signal"
    write_conf "$url/$marker" "download_seconds=60"
    signal_job "/$marker" 0.3 "$signal"
    expect_failure "stopped by SIG$signal"
    expect_untouched
    expect_nothing_left
    # The download was sent its signal; give it a moment to be gone.
    i=0
    while running "$marker"; do
      i=$((i + 1))
      [ "$i" -le 30 ] || fail "$what: the download still runs"
      sleep 0.1
    done
  done

  # -- Retries --
  what="$via: two 5xx answers, then the list"
  write_conf "$url/flaky/$via?fail=2&then=list.txt" "retries=2
retry_seconds=1"
  run_job
  expect_failure "$url/flaky/$via" "fetched only at attempt 3 of 3" "503"
  [ "$(requests "/flaky/$via")" -eq 3 ] || fail "$what: $(requests "/flaky/$via") requests, expected 3"
  # The pauses grow: retry_seconds, then three times as long.
  awk -v p="/flaky/$via" 'index($3, p) == 1 { t[n++] = $1 }
    END { exit !(n == 3 && t[1] - t[0] >= 0.9 && t[2] - t[1] >= 2.9) }' "$work/http.log" ||
    fail "$what: the pauses do not grow: $(grep -F "/flaky/$via" "$work/http.log")"
  [ -n "$(find "$cache" -name '*flaky*')" ] || fail "$what: the list was not cached"

  what="$via: a 4xx answer"
  write_conf "$url/status/404?$q" "retries=2"
  run_job
  expect_failure "$url/status/404" "404"
  expect_no_message "tried"
  [ "$(requests "/status/404?$q")" -eq 1 ] || fail "$what: retried"

  what="$via: 5xx answers to the end"
  write_conf "$url/status/503?$q" "retries=1"
  run_job
  expect_failure "$url/status/503" "503" "tried 2 times"
  [ "$(requests "/status/503?$q")" -eq 2 ] || fail "$what: not tried twice"

  what="$via: a refused connection"
  write_conf "http://127.0.0.1:$closed/list.txt?$q" "retries=1"
  run_job
  expect_failure "127.0.0.1:$closed" "tried 2 times"

  what="$via: SIGTERM during the pause between tries"
  write_conf "$url/status/500?$q" "retries=1
retry_seconds=30"
  signal_job "/status/500?$q" 0.5 TERM
  expect_failure "stopped by SIGTERM"
  expect_nothing_left

  # -- Protocols --
  what="$via: a redirect to ftp://"
  snapshot
  write_conf "$url/redirect?to=ftp://127.0.0.1:$closed/list.txt&$q"
  run_job
  expect_failure "$url/redirect" "ftp"
  expect_untouched

  what="$via: a redirect within http"
  write_conf "$url/redirect?to=/files/list.txt%3Fvia%3D$via%26hop%3D1&$q"
  run_job
  expect_status 0
  expect_silent
  [ "$(requests "/files/list.txt?via=$via&hop=1")" -eq 1 ] || fail "$what: the redirect was not followed"

  what="$via: more than 5 redirects"
  loop="$url/redirect?to=/redirect%3Fto%3D/redirect%253Fto%253D/redirect%25253Fto%25253D/redirect%2525253Fto%2525253D/redirect%252525253Fto%252525253D/files/list.txt"
  write_conf "$loop&$q"
  run_job
  case $via in
    curl)
      expect_failure "$url/redirect" "Maximum (5) redirects followed" ;;
    wget)
      expect_failure "$url/redirect" "more than 5 redirects" ;;
    *)
      # busybox wget keeps a limit of its own, which six do not reach.
      expect_status 0
      expect_silent ;;
  esac

  # -- TLS --
  case $via in curl | wget) ;; *) continue ;; esac
  what="$via: an untrusted certificate"
  write_conf "$tls_url/files/list.txt?$q"
  run_job
  expect_status 1
  expect_messages 1
  case $via in
    curl) expect_message "$tls_url/files/list.txt" "curl: (60) SSL certificate problem" ;;
    wget) expect_message "$tls_url/files/list.txt" "ERROR: The certificate of '127.0.0.1'" ;;
  esac
  expect_no_message "web page mentioned above"

  what="$via: https with a trusted certificate"
  # shellcheck disable=SC2086  # the assignments, split on purpose
  run_job $trust
  expect_status 0
  expect_silent

  what="$via: a redirect from https to plain http"
  snapshot
  plain="$url/files/list.txt?over=http"
  write_conf "$tls_url/redirect?to=$plain&$q"
  # shellcheck disable=SC2086  # the assignments, split on purpose
  run_job $trust
  expect_status 1
  expect_messages 1
  case $via in
    curl) expect_message "$tls_url/redirect" 'Protocol "http" not supported' ;;
    wget) expect_message "$tls_url/redirect" "redirected from https to plain http ($plain)" ;;
  esac
  [ "$(requests "/files/list.txt?over=http")" -eq 0 ] || fail "$what: the list was fetched over http"
  expect_untouched
done

echo "PASS: hostzones-update's downloads under $job_shell with: $downloaders"
