#!/usr/bin/env bash
# Builds the release binary, generates the benchmark lists when they are
# missing, and times hostzones side by side with mawk, a Python
# implementation, sort -u and wc -l (bench/compare.py; its options pass
# through, e.g. --runs 3 --sets real,100k).
#
#   --baseline-rev REV   also builds the release binary of git revision REV
#                        (in build/baseline/) and times it in the same turns,
#                        for a before/after table
#   --no-phases          skips the phase breakdown: by default the release
#                        build's hostzones_phases (the program with
#                        bench/phase_clock.cpp's marks) splits the CPU time
#                        of hostzones into read, parse, emit, destroy and
#                        commit
#
# Needs: cmake and a C++20 compiler, python3, mawk, GNU time, coreutils, and
# git for --baseline-rev. Writes only under build/ and bench/out/
# (git-ignored); the table also goes to bench/out/results.md. Exits 1 when
# hostzones and the reference disagree.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# GNU time measures peak RSS (Debian packages: mawk, time).
for tool in mawk /usr/bin/time; do
  if ! command -v "$tool" >/dev/null; then
    echo "compare.sh: $tool is missing (Debian: apt-get install mawk time)" >&2
    exit 1
  fi
done

args=()
baseline_rev=""
phases=1
while [ $# -gt 0 ]; do
  case "$1" in
    --baseline-rev)
      baseline_rev=${2:?--baseline-rev needs a git revision}
      shift 2
      ;;
    --no-phases)
      phases=0
      shift
      ;;
    *)
      args+=("$1")
      shift
      ;;
  esac
done

cmake --workflow --preset release >/dev/null
if [ "$phases" = 1 ]; then
  # The release build's objects, with the phase clock's marks.
  cmake --build build/release --target hostzones_phases -j 2 >/dev/null
  args+=(--phases build/release/hostzones_phases)
fi
if [ -n "$baseline_rev" ]; then
  # A detached worktree of the revision, built with its own release preset.
  rm -rf build/baseline
  git worktree prune
  git worktree add --detach build/baseline/src "$baseline_rev" >/dev/null
  (cd build/baseline/src && cmake --preset release -B ../build >/dev/null &&
    cmake --build ../build -j 2 >/dev/null)
  args+=(--baseline build/baseline/build/hostzones)
fi
python3 bench/make_lists.py --sizes 100k,1m,5m bench/out
status=0
python3 bench/compare.py "${args[@]}" || status=$?
if [ -n "$baseline_rev" ]; then
  git worktree remove --force build/baseline/src
fi
exit "$status"
