# shellcheck shell=sh
# shellcheck disable=SC2034,SC2154  # its variables are the sourcing script's
# Installs the nightly job for a test, sourced by the job's test scripts.
#
# Expects $cmake, $build_dir, $job_shell (sh, dash, posh or busybox) and
# $work (the test's scratch directory) and a function fail. Installs
# $build_dir into $work/prefix; for busybox, first makes $work/busybox, a
# directory of links to busybox for each of its applets and to the
# resolver's tools, and installs the job with that directory as its PATH,
# as on a router. The job's PATH begins with $work/trace, whose logger(1)
# appends its arguments to $work/syslog instead of the system log: the tests
# read the job's line there, and leave the machine's log alone. Sets:
#   job, hostzones   the installed job and converter
#   job_path         the PATH to run the job with (cron's, or the links)
#   job_sh           the shell to run the job with
#   bb               the directory of links (busybox only)
#   syslog           the file of the job's lines for the system log

prefix=$work/prefix
job_path=/usr/bin:/bin
job_sh=$job_shell
bb=
syslog=$work/syslog
mkdir "$work/trace"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\n' "$syslog" >"$work/trace/logger"
chmod 755 "$work/trace/logger"
HOSTZONES_JOB_PATH=$work/trace:$prefix/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
if [ "$job_shell" = busybox ]; then
  bb=$work/busybox
  mkdir "$bb"
  busybox=$(command -v busybox)
  for applet in $(busybox --list); do ln -s "$busybox" "$bb/$applet"; done
  for tool in unbound-control unbound-checkconf; do ln -s "$(command -v "$tool")" "$bb/$tool"; done
  job_path=$bb
  job_sh=$bb/sh
  HOSTZONES_JOB_PATH=$work/trace:$bb
fi
export HOSTZONES_JOB_PATH
"$cmake" --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  fail "cmake --install: $(cat "$work/install.log")"
unset HOSTZONES_JOB_PATH
job=$prefix/sbin/hostzones-update
hostzones=$prefix/bin/hostzones
[ -x "$job" ] || fail "no $job after the install"
