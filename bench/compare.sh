#!/usr/bin/env bash
# Builds the release binary, generates the benchmark lists when they are
# missing, and times hostzones side by side with mawk, a Python
# implementation, sort -u and wc -l (bench/compare.py; its options pass
# through, e.g. --runs 3 --sets real,100k).
#
# Needs: cmake and a C++20 compiler, python3, mawk, GNU time, coreutils. Writes only
# under build/ and bench/out/ (git-ignored); the table also goes to
# bench/out/results.md. Exits 1 when hostzones and the reference disagree.
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

cmake --workflow --preset release >/dev/null
python3 bench/make_lists.py --sizes 100k,1m,5m bench/out
exec python3 bench/compare.py "$@"
