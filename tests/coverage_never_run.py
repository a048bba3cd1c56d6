#!/usr/bin/env python3
"""Lists what the coverage preset's tests never ran, from gcovr's JSON report.

Usage: coverage_never_run.py COVERAGE_JSON OUTPUT. For every file, the
functions never called, the lines never run and the lines with a branch
never taken (as ranges), written to OUTPUT and to standard output.
"""
import json
import sys


def ranges(numbers):
    spans = []
    for n in sorted(numbers):
        if spans and n == spans[-1][1] + 1:
            spans[-1][1] = n
        else:
            spans.append([n, n])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in spans)


def main(report_path, output_path):
    with open(report_path, encoding="utf-8") as report:
        files = json.load(report)["files"]
    out = []
    for entry in sorted(files, key=lambda f: f["file"]):
        functions = sorted({(f["lineno"], f["name"]) for f in entry.get("functions", [])
                            if f["execution_count"] == 0})
        code = [line for line in entry["lines"] if not line.get("gcovr/noncode", False)]
        lines = [line["line_number"] for line in code if line["count"] == 0]
        branches = [line["line_number"] for line in code if line["count"] > 0
                    and any(branch["count"] == 0 for branch in line.get("branches", []))]
        if not functions and not lines and not branches:
            continue
        out.append(f"{entry['file']}: {len(functions)} functions, {len(lines)} lines never run;"
                   f" {len(branches)} lines with a branch never taken")
        out.extend(f"  function {name} (line {lineno})" for lineno, name in functions)
        if lines:
            out.append(f"  lines never run: {ranges(lines)}")
        if branches:
            out.append(f"  branches never taken on lines: {ranges(branches)}")
    text = "\n".join(out) + "\n" if out else "every function, line and branch ran\n"
    with open(output_path, "w", encoding="utf-8") as output:
        output.write(text)
    sys.stdout.write(text)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
