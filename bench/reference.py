#!/usr/bin/env python3
"""A plain Python implementation of hostzones's rules, for comparison.

    reference.py [-o OUTPUT] [--sorted] [--names] INPUT...

Reads the lists like hostzones does and prints the same two-line summary
("Number of Hosts: N" / "Number of Zones: N"); with -o it writes the zone
lines to OUTPUT (in first-seen order, or sorted with --sorted); with --names
a third line "Names Read: N" counts every name token, duplicates included. Deliberately
straightforward: a dict of names with their exempt flags, and a parent check
that splits the labels. It applies the same resolver-safety filter as
hostzones, so the counts agree on any input (the generated lists never
trigger the filter); what it does not do is hostzones's bucket output order,
its replacement of the output file, and its size and memory checks.

The rules:
  - a line ends at a newline or a NUL byte; bytes 0x01..0x20 are blanks;
  - a line whose first token begins with '#' is a comment;
  - a line of one token with a dot that is not its first byte is a bare
    domain (exempt 0);
  - a line whose first token is exactly 0.0.0.0 or 127.0.0.1 (exempt 0) or
    1.1.1.1 (exempt 1) lists the following tokens as names, up to a token
    that begins with '#';
  - every other line is ignored;
  - names are lower-cased (A-Z only), "localhost" is skipped, and the first
    occurrence of a name fixes its exempt flag;
  - a name is written when it holds a dot other than as its last byte, is not
    exempt, no parent candidate of it is listed, and the resolver can load
    it. The candidates are its tails after each dot, shortest first: the last
    label is never looked up, a two-label tail only when it is 7 bytes or
    longer, every longer tail always.
"""

import sys

ADDRESSES = {b"0.0.0.0": 0, b"127.0.0.1": 0, b"1.1.1.1": 1}

# NUL ends a line like a newline; every other byte up to 0x20 is a blank.
_BLANKS = bytes(
    0x0A if b == 0 else (0x20 if b <= 0x20 and b != 0x0A else b) for b in range(256))


def read_names(paths, table=None):
    """Parses the lists into table (name -> exempt flag).

    Returns (table, occurrences): occurrences counts every name token read,
    duplicates included."""
    if table is None:
        table = {}
    occurrences = 0
    for path in paths:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            continue
        if len(data) < 4:
            continue
        for line in data.translate(_BLANKS).split(b"\n"):
            tokens = line.split()
            if not tokens or tokens[0].startswith(b"#"):
                continue
            first = tokens[0]
            if len(tokens) == 1 and first.find(b".") > 0:
                names, exempt = tokens, 0
            elif first in ADDRESSES:
                names, exempt = tokens[1:], ADDRESSES[first]
            else:
                continue
            for name in names:
                if name.startswith(b"#"):
                    break
                name = name.lower()
                if name == b"localhost":
                    continue
                occurrences += 1
                if name not in table:
                    table[name] = exempt
    return table, occurrences


def is_covered(name, table):
    labels = name.split(b".")
    candidates = 0
    # A dot precedes labels[i] for every i >= 1; the tail after it is a
    # candidate unless it is empty (the name's final dot).
    for i in range(len(labels) - 1, 0, -1):
        tail = b".".join(labels[i:])
        if not tail:
            continue
        if (candidates >= 2 or (candidates == 1 and len(tail) >= 7)) and tail in table:
            return True
        candidates += 1
    return False


def has_parent_label(name):
    """True when the name holds a dot other than as its last byte."""
    return b"." in name[:-1]


def is_loadable(name):
    if b'"' in name or b"\\" in name or name.startswith(b".") or b".." in name:
        return False
    if len(name) > (254 if name.endswith(b".") else 253):
        return False
    return all(len(label) <= 63 for label in name.split(b"."))


def zones(table):
    """The names that become zone lines, in first-seen order."""
    return [name for name, exempt in table.items()
            if not exempt and has_parent_label(name) and not is_covered(name, table)
            and is_loadable(name)]


def main(argv):
    args = argv[1:]
    output, sort, count_names = None, False, False
    while args and args[0].startswith("-"):
        if args[0] == "-o" and len(args) > 1:
            output, args = args[1], args[2:]
        elif args[0] == "--sorted":
            sort, args = True, args[1:]
        elif args[0] == "--names":
            count_names, args = True, args[1:]
        else:
            break
    if not args:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    table, occurrences = read_names(args)
    written = zones(table)
    if output is not None:
        if sort:
            written.sort()
        with open(output, "wb") as out:
            out.writelines(b'local-zone: "%s" static\n' % name for name in written)
    sys.stdout.write("Number of Hosts: %d\nNumber of Zones: %d\n" % (len(table), len(written)))
    if count_names:
        sys.stdout.write("Names Read: %d\n" % occurrences)
    return 0 if written else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
