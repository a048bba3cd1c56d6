# shellcheck shell=sh
# shellcheck disable=SC2034,SC2154  # its variables are the sourcing script's
# What the nightly job's test scripts share: failing and skipping, the
# processes a test starts and their clean-up, and the checks of a run.
# Sourced first, before support/job_install.sh (which needs fail).
#
# Expects, by the time a function runs: $work (the test's scratch
# directory), $pids (the PIDs to stop at the end), $LIFETIME (the seconds
# any process started may live), $what (the case, for messages), and from
# run_job $job_status and the run's output in $work/out and $work/err.
# Sets: $started (start), $job_status (wait_job).

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Skips the test where the tool $1 (in the package $2, by default $1) is
# missing: a failure in CI, where every tool must be there.
need() {
  if ! command -v "$1" >/dev/null 2>&1; then
    if [ -n "${CI:-}" ]; then fail "$1 is not installed (package ${2:-$1})"; fi
    echo "SKIP: $1 is not installed (package ${2:-$1})"
    exit 77
  fi
}

# The EXIT trap: stops every process started, by its PID, and removes the
# scratch directory (after lifting the immutable flag a test may have set
# on $immutable, a directory in it).
cleanup() {
  if [ -n "${immutable:-}" ]; then chattr -i "$immutable" 2>/dev/null || true; fi
  for pid in $pids; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $pids; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}

# A port on 127.0.0.1 that was free a moment ago (nothing listens there).
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts "$@" in the background under the lifetime limit, its output in
# $1; its PID in $started.
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

# Waits for the run in the background whose PID is $1; its exit status in
# $job_status.
wait_job() {
  job_status=0
  wait "$1" || job_status=$?
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

# Exactly $1 lines on standard error, each a message of the job's, nothing
# on standard output; the messages are shown in the test's log.
expect_messages() {
  [ ! -s "$work/out" ] || fail "$what: output on standard output: $(cat "$work/out")"
  lines=$(wc -l <"$work/err" | tr -d ' ')
  [ "$lines" -eq "$1" ] || fail "$what: $lines lines on stderr, expected $1: $(cat "$work/err")"
  ! grep -v '^hostzones-update: ' "$work/err" >/dev/null ||
    fail "$what: a line that is not the job's: $(cat "$work/err")"
  echo "$what:"
  sed 's/^/  /' "$work/err"
}

# A line of the file $1 (said as $2 in a failure) that holds every text
# that follows.
expect_line() {
  file=$1 where=$2
  shift 2
  matches=$(cat "$file")
  for text in "$@"; do
    matches=$(printf '%s\n' "$matches" | grep -F -- "$text" || true)
  done
  [ -n "$matches" ] || fail "$what: no line with '$*' $where: $(cat "$file")"
}

# A line on stderr that holds every given text.
expect_message() {
  expect_line "$work/err" "on stderr" "$@"
}

# Status 1 with one message of the job's, which holds every given text.
expect_failure() {
  expect_status 1
  expect_messages 1
  expect_message "$@"
}

expect_no_message() {
  ! grep -F -- "$1" "$work/err" >/dev/null || fail "$what: a message with '$1': $(cat "$work/err")"
}
