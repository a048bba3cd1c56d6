#!/usr/bin/env python3
"""Times hostzones side by side with the tools users would otherwise run.

    compare.py [--runs N] [--sets real,100k,1m,5m] [--binary PATH] [--baseline PATH]
               [--phases PATH] [--markdown FILE]

Run through bench/compare.sh, which builds the release binary and generates
the lists first. For every input set each tool runs once to warm the page
cache, then N times in turn (hostzones, mawk, Python, sort, wc, hostzones,
mawk, ...), and the table reports medians: wall time, CPU time (user + sys),
peak RSS (GNU time's %M: the largest process of
the tool), names read per second of
wall time, and each tool's wall time divided by hostzones's.

Before timing, hostzones's summary and its output (sorted) are checked
against bench/reference.py on every input set and on each real list alone;
any difference ends the run with status 1. The 5m set is timed for hostzones
alone; it is still checked against the reference, once, untimed.

--phases PATH names a build of the target hostzones_phases (bench/compare.sh
makes one), which reports the CPU time of each phase of its run on standard
error; it runs N times more on every set, and a second table shows the
medians per phase.
"""

import argparse
import glob
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DATA = os.path.normpath(os.path.join(ROOT, "..", "shared", "data"))
OUT = os.path.join(HERE, "out")
WORK = os.path.join(OUT, "run")

# The classic shell approach, as one mawk program: hosts lines against
# 0.0.0.0 or 127.0.0.1 and bare domains, lower-cased, localhost skipped,
# de-duplicated with an array. No parent coverage, no exemptions.
MAWK_PROGRAM = r'''{ sub(/\r$/, "") }
($1 == "0.0.0.0" || $1 == "127.0.0.1") && NF > 1 {
  for (i = 2; i <= NF && substr($i, 1, 1) != "#"; i++) {
    n = tolower($i); if (n != "localhost" && !(n in seen)) { seen[n]; print "local-zone: \"" n "\" static" } }
  next }
NF == 1 && index($1, ".") > 1 { n = tolower($1); if (!(n in seen)) { seen[n]; print "local-zone: \"" n "\" static" } }'''

TIME = "/usr/bin/time"  # GNU time (Debian package time)

TOOLS = ("hostzones", "mawk", "python", "sort -u", "wc -l")

# --baseline PATH adds an earlier hostzones build as one more tool, timed in
# the same turns, for before/after tables.
BASELINE_TOOL = "hostzones (baseline)"
BASELINE = []


def tool_command(tool, binary, inputs, output):
    """(argv, stdout path) of one tool run on inputs."""
    if tool == "hostzones":
        return [binary, output] + inputs, os.devnull
    if tool == BASELINE_TOOL:
        return [BASELINE[0], output] + inputs, os.devnull
    if tool == "mawk":
        return ["mawk", MAWK_PROGRAM] + inputs, output
    if tool == "python":
        return [sys.executable, os.path.join(HERE, "reference.py"), "-o", output] + inputs, os.devnull
    if tool == "sort -u":
        return ["sh", "-c", 'cut -d " " -f 2 "$@" | LC_ALL=C sort -u', "sh"] + inputs, output
    if tool == "wc -l":
        return ["wc", "-l"] + inputs, os.devnull
    raise ValueError(tool)


def run_once(argv, stdout_path):
    """Runs argv; returns (wall s, cpu s, peak RSS in KiB, status, stdout text).

    Peak RSS comes from /usr/bin/time: a child forked from this Python
    process would carry Python's own resident size into its maximum. CPU time
    (user + sys of the tool and its children) comes from wait4."""
    rss_path = os.path.join(WORK, "rss.txt")
    argv = [TIME, "-f", "%M", "-o", rss_path] + argv
    capture = stdout_path == os.devnull
    with open(stdout_path, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE if capture else out,
                                stderr=subprocess.DEVNULL)
        text = proc.stdout.read() if capture else b""
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        if capture:
            proc.stdout.close()
        proc.returncode = os.waitstatus_to_exitcode(status)
    with open(rss_path) as f:
        rss = int(f.read().split()[-1])
    return wall, usage.ru_utime + usage.ru_stime, rss, proc.returncode, text


def summary_counts(text):
    hosts = re.search(rb"Number of Hosts: (-?\d+)", text)
    zones = re.search(rb"Number of Zones: (-?\d+)", text)
    names = re.search(rb"Names Read: (\d+)", text)
    return (int(hosts.group(1)) if hosts else None, int(zones.group(1)) if zones else None,
            int(names.group(1)) if names else None)


def check(binary, label, inputs):
    """Compares hostzones with the reference on inputs; returns names read."""
    os.makedirs(WORK, exist_ok=True)
    hz_out = os.path.join(WORK, "check-hostzones.conf")
    ref_out = os.path.join(WORK, "check-reference.conf")
    _, _, _, status, hz_text = run_once([binary, hz_out] + inputs, os.devnull)
    _, _, _, _, ref_text = run_once(
        [sys.executable, os.path.join(HERE, "reference.py"), "--sorted", "--names", "-o", ref_out]
        + inputs, os.devnull)
    hz_hosts, hz_zones, _ = summary_counts(hz_text)
    ref_hosts, ref_zones, names = summary_counts(ref_text)
    # Sorted and compared by sort and cmp, so that this process stays small:
    # every process it starts would otherwise begin as a copy of it.
    hz_sorted = hz_out + ".sorted"
    subprocess.run(["sort", "-o", hz_sorted, hz_out], env=dict(os.environ, LC_ALL="C"),
                   check=True)
    same = subprocess.run(["cmp", "-s", hz_sorted, ref_out]).returncode == 0
    with open(hz_out, "rb") as f:
        hz_line_count = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b""))
    with open(ref_out, "rb") as f:
        ref_line_count = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b""))
    problems = []
    if hz_zones != ref_zones:
        problems.append("zone count %s, reference %s" % (hz_zones, ref_zones))
    if hz_hosts != ref_hosts:
        problems.append("host count %s, reference %s" % (hz_hosts, ref_hosts))
    if not same:
        problems.append("fragments differ (%d vs %d lines)" % (hz_line_count, ref_line_count))
    if status != (0 if ref_zones else 1):
        problems.append("exit status %d" % status)
    if hz_line_count != hz_zones:
        problems.append("%d lines but Number of Zones: %s" % (hz_line_count, hz_zones))
    if problems:
        print("MISMATCH on %s: %s" % (label, "; ".join(problems)), file=sys.stderr)
        sys.exit(1)
    print("check %-22s hosts %9d  zones %9d  names read %9d  ok" % (label, hz_hosts, hz_zones, names))
    sys.stdout.flush()
    return names


def time_set(binary, inputs, tools, runs):
    """Medians per tool: dict tool -> (wall, cpu, rss KiB)."""
    results = {t: [] for t in tools}
    for r in range(runs + 1):
        for tool in tools:
            output = os.path.join(WORK, "out-%s.conf" % tool.split()[0])
            argv, stdout_path = tool_command(tool, binary, inputs, output)
            wall, cpu, rss, status, _ = run_once(argv, stdout_path)
            if tool == "hostzones" and status != 0:
                print("hostzones failed with status %d" % status, file=sys.stderr)
                sys.exit(1)
            if r > 0:  # run 0 warms the page cache
                results[tool].append((wall, cpu, rss))
    return {t: tuple(statistics.median(x[i] for x in v) for i in range(3))
            for t, v in results.items()}


PHASES = ("read", "parse", "emit", "destroy", "commit")


def time_phases(binary, inputs, runs):
    """Medians of the phase CPU times a hostzones_phases build reports."""
    output = os.path.join(WORK, "out-phases.conf")
    samples = []
    for _ in range(runs):
        proc = subprocess.run([binary, output] + inputs, capture_output=True, text=True)
        line = [l for l in proc.stderr.splitlines() if l.startswith("phases:")]
        if proc.returncode != 0 or not line:
            print("the phase build failed (status %d)" % proc.returncode, file=sys.stderr)
            sys.exit(1)
        fields = line[0].split()[1:]
        samples.append(dict(zip(fields[0::2], (float(v) for v in fields[1::2]))))
    return {p: statistics.median(s[p] for s in samples) for p in PHASES}


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"model name\s*:\s*(.*)", f.read())
            cpu = m.group(1) if m else cpu
    except OSError:
        pass
    def version(argv):
        try:
            out = subprocess.run(argv, capture_output=True, text=True).stdout
            return out.splitlines()[0] if out else "?"
        except OSError:
            return "absent"
    return ("%s, %d cores, %s %s; %s; Python %s; %s; %s" % (
        cpu, os.cpu_count(), platform.system(), platform.release(),
        version(["c++", "--version"]), platform.python_version(),
        version(["mawk", "-W", "version"]), version(["sort", "--version"])))


def input_sets(names):
    sets = []
    for name in names:
        if name == "real":
            files = sorted(glob.glob(os.path.join(DATA, "*.txt")))
            if files:
                sets.append(("real (%d lists)" % len(files), files))
        else:
            files = sorted(glob.glob(os.path.join(OUT, name, "*.txt")))
            if not files:
                print("no lists in %s: run bench/make_lists.py" % os.path.join(OUT, name),
                      file=sys.stderr)
                sys.exit(1)
            sets.append((name, files))
    return sets


def mb(nbytes):
    return nbytes / 1e6


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--sets", default="real,100k,1m,5m")
    ap.add_argument("--binary", default=os.path.join(ROOT, "build", "release", "hostzones"))
    ap.add_argument("--markdown", default=os.path.join(OUT, "results.md"))
    ap.add_argument("--baseline", help="an earlier hostzones binary to time beside this one")
    ap.add_argument("--phases", help="a hostzones_phases build for the phase breakdown")
    args = ap.parse_args()
    if args.baseline:
        BASELINE.append(os.path.abspath(args.baseline))
    binary = os.path.abspath(args.binary)
    if not os.access(binary, os.X_OK):
        print("no hostzones binary at %s" % binary, file=sys.stderr)
        sys.exit(1)
    for tool in ("mawk", "sort", "cut", "cmp", "wc", TIME):
        if shutil.which(tool) is None:
            print("%s is missing" % tool, file=sys.stderr)
            sys.exit(1)
    os.makedirs(WORK, exist_ok=True)

    sets = input_sets(args.sets.split(","))
    names_read = {}
    for label, files in sets:
        if label.startswith("real"):
            for f in files:
                check(binary, os.path.basename(f)[:22], [f])
        names_read[label] = check(binary, label, files)

    rows = []
    medians = {}
    for label, files in sets:
        tools = ("hostzones",) if label == "5m" else TOOLS
        if BASELINE:
            tools = tools[:1] + (BASELINE_TOOL,) + tools[1:]
        size = sum(os.path.getsize(f) for f in files)
        print("timing %s (%d files, %.1f MB): %s, %d runs each" % (
            label, len(files), mb(size), ", ".join(tools), args.runs))
        sys.stdout.flush()
        res = time_set(binary, files, tools, args.runs)
        medians[label] = res
        base = res["hostzones"][0]
        for tool in tools:
            wall, cpu, rss = res[tool]
            rows.append((label, "%.1f" % mb(size), tool, "%.3f" % wall, "%.3f" % cpu,
                         "%.1f" % (rss / 1024), "%.2f" % (names_read[label] / wall / 1e6),
                         "%.1f" % (wall / base)))

    header = ("input", "MB", "tool", "wall s", "cpu s", "peak RSS MiB", "M names/s",
              "x hostzones")
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    notes = []
    if "1m" in medians and "5m" in medians:
        notes.append("5m vs 1m: hostzones wall time x%.2f, peak RSS %.0f MiB" % (
            medians["5m"]["hostzones"][0] / medians["1m"]["hostzones"][0],
            medians["5m"]["hostzones"][2] / 1024))
    if "1m" in medians:
        m = medians["1m"]
        hz = m["hostzones"][0]
        notes.append("1m: python/hostzones x%.1f (target >= 5), mawk/hostzones x%.1f "
                     "(target >= 4), hostzones %.3f s (target <= 0.6), %.0f MiB (target <= 200)"
                     % (m["python"][0] / hz, m["mawk"][0] / hz, hz, m["hostzones"][2] / 1024))
        if BASELINE_TOOL in m:
            notes.append("1m: baseline/hostzones x%.2f" % (m[BASELINE_TOOL][0] / hz))
    if "5m" in medians:
        notes.append("5m: hostzones %.3f s (target <= 5), %.0f MiB (target <= 1024)" % (
            medians["5m"]["hostzones"][0], medians["5m"]["hostzones"][2] / 1024))
    text = "\n".join(lines) + "\n\n" + "".join("- %s\n" % n for n in notes)
    if args.phases:
        phase_lines = ["| input | " + " | ".join(PHASES) + " | total |",
                       "|" + "---|" * (len(PHASES) + 2)]
        for label, files in sets:
            print("phases %s: %d runs" % (label, args.runs))
            sys.stdout.flush()
            res = time_phases(os.path.abspath(args.phases), files, args.runs)
            phase_lines.append("| %s | " % label + " | ".join("%.3f" % res[p] for p in PHASES)
                               + " | %.3f |" % sum(res.values()))
        text += ("\nCPU seconds per phase of hostzones (medians of %d runs of the "
                 "phase-timed build):\n\n" % args.runs)
        text += "\n".join(phase_lines) + "\n"
    text += "\nMachine: %s. Medians of %d runs after one warm-up run.\n" % (machine(), args.runs)
    print()
    print(text)
    os.makedirs(os.path.dirname(args.markdown), exist_ok=True)
    with open(args.markdown, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
