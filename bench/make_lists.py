#!/usr/bin/env python3
"""Seeded generator of realistic DNS block lists for the benchmarks.

    make_lists.py [--sizes 100k,1m,5m] [--seed N] [--force] [OUTDIR]

For every size it writes OUTDIR/SIZE/ (default OUTDIR: bench/out/) holding
four lists that are meant to be converted together, in this order:

  1-hosts-zero.txt    "0.0.0.0 name" lines sorted by name, a '#' header,
                      a few inline comments ("0.0.0.0 name # note"),
                      a "0.0.0.0 0.0.0.0" line; LF
  2-hosts-loop.txt    "127.0.0.1 name" lines grouped by domain under
                      "# [domain]" section headers, tabs or two spaces after
                      the address, the localhost block, "::1" lines and
                      "1.1.1.1 name" exemptions; CRLF
  3-domains.txt       bare domains in random order, comment blocks,
                      commented-out names, blank lines, "name # note" lines
                      (two tokens without an address: never a name); LF
  4-hosts-mixed.txt   "0.0.0.0" lines with one to three names each,
                      "1.1.1.1" exemptions, "255.255.255.255" lines; LF

and a manifest.json with the counts. The size is the number of name entries
written over all four files (duplicates included); about 7 % of them repeat
a name already written, in the same file or an earlier one, some of them in
mixed case. About half of the distinct names sit under a listed parent domain
of two to four labels (x.example.com with example.com listed), a few of them
under a parent too short for the coverage rule to look up (a two-label tail
under 7 bytes, such as ab.com); about 3 % of the entries are 1.1.1.1
exemptions, some of them of parents.

Every generated name is made of labels of 1 to 20 bytes from [a-z0-9-]
(upper-case only in the mixed-case duplicates), so no name holds a quote, a
backslash, an empty label or a label over 63 bytes, and every name is far
below 253 bytes: the converter's resolver-safety filter never drops one, and
check_name() asserts that for each distinct name.

Python 3 standard library only. The output depends only on the seed and the
size. Sizes are given as 100k, 1m, 5m or plain numbers.
"""

import argparse
import json
import os
import random
import re
import sys

GENERATOR_VERSION = 1

# (tld, weight): a rough mix of what real block lists hold.
TLDS = [
    ("com", 45), ("net", 12), ("org", 5), ("io", 4), ("de", 3), ("ru", 3),
    ("co.uk", 3), ("xyz", 2), ("info", 2), ("com.br", 2), ("cn", 2), ("jp", 1),
    ("fr", 1), ("nl", 1), ("eu", 1), ("tv", 1), ("me", 1), ("co", 1), ("us", 1),
    ("in", 1), ("pl", 1), ("it", 1), ("es", 1), ("top", 1), ("online", 1),
    ("site", 1), ("biz", 1), ("cc", 1), ("com.au", 1), ("co.jp", 1),
]

# Words that ad, tracking and telemetry host names are made of.
PREFIX_WORDS = (
    "ads ad adserver adservice analytics api app assets b beacon c cdn click "
    "clicks collect collector config counter d data delivery events g img "
    "insights log logs m media metrics mobile pixel px rtb s secure sdk srv "
    "stat stats static sync t tag tags telemetry tr track tracker tracking "
    "trk v w www www2 x"
).split()

DOMAIN_WORDS = (
    "ad adx banner bid box buzz cast click cloud counter data deal digital "
    "direct flow free fast go hub info link live logic mark media metric "
    "mobi net nova one pixel plus point pro pulse push quant reach rocket "
    "sense serve shop signal smart social spot star stream tag target tech "
    "top track trade traffic view web wise zone"
).split()

SYLLABLES = [c + v for c in "bcdfghjklmnprstvwz" for v in "aeiou"] + [
    "an", "en", "in", "on", "ar", "er", "or", "ex", "ix", "ly", "ty", "ny"]

LABEL_RE = re.compile(r"[a-z0-9-]{1,20}\Z")


def parse_size(text):
    text = text.strip().lower()
    factor = 1
    if text.endswith("k"):
        factor, text = 1000, text[:-1]
    elif text.endswith("m"):
        factor, text = 1000000, text[:-1]
    return int(text) * factor


def size_label(n):
    if n % 1000000 == 0:
        return "%dm" % (n // 1000000)
    if n % 1000 == 0:
        return "%dk" % (n // 1000)
    return str(n)


def check_name(name):
    """Asserts that the converter's resolver-safety filter keeps name."""
    labels = name.split(".")
    assert len(name) < 253, name
    assert all(LABEL_RE.match(label) for label in labels), name


class Namer:
    """Makes labels and names from one seeded random stream."""

    def __init__(self, rng):
        self.rng = rng
        self.tlds = [t for t, _ in TLDS]
        self.tld_weights = [w for _, w in TLDS]

    def word(self):
        rng = self.rng
        r = rng.random()
        if r < 0.35:
            w = rng.choice(DOMAIN_WORDS) + rng.choice(DOMAIN_WORDS)
        elif r < 0.45:
            w = rng.choice(DOMAIN_WORDS) + "-" + rng.choice(DOMAIN_WORDS)
        else:
            w = "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4)))
        if rng.random() < 0.15:
            w += str(rng.randint(1, 999))
        return w[:20]

    def prefix_label(self):
        rng = self.rng
        r = rng.random()
        if r < 0.45:
            label = rng.choice(PREFIX_WORDS)
            if rng.random() < 0.3:
                label += str(rng.randint(1, 99))
            elif rng.random() < 0.1:
                label += "-" + rng.choice(("eu", "us", "ap", "prod", "edge"))
        elif r < 0.6:
            # Hex-looking machine names: d179kwmlpc4o47, 00b5-d72d-8252.
            label = "%x" % rng.getrandbits(rng.choice((16, 24, 32, 48)))
            if rng.random() < 0.3:
                label = label[:4] + "-" + label[4:8] + "-" + label[8:12]
        elif r < 0.7:
            label = "%03d-%s-%03d" % (rng.randint(0, 999),
                                      "".join(rng.choice("abcdefghijklmnopqrstuvwxyz")
                                              for _ in range(3)),
                                      rng.randint(0, 999))
        else:
            label = self.word()
        return label.strip("-")[:20] or "x"

    def tld(self):
        return self.rng.choices(self.tlds, self.tld_weights)[0]

    def registrable(self, short=False):
        """A two-label domain above its public suffix (example.com, x.co.uk)."""
        if short:
            # Under 7 bytes as a two-label tail, e.g. ab.com or qz.io: the
            # coverage rule never looks such a parent up.
            label = "".join(self.rng.choice("abcdefghijklmnopqrstuvwxyz0123456789")
                            for _ in range(self.rng.randint(1, 2)))
            return label + "." + self.rng.choice(("com", "net", "org", "io", "de"))
        return self.word() + "." + self.tld()

    def parent(self, short=False):
        """A listed parent of two to four labels."""
        base = self.registrable(short)
        if short:
            return base
        r = self.rng.random()
        if r < 0.6:
            return base
        if r < 0.9:
            return self.prefix_label() + "." + base
        return self.prefix_label() + "." + self.prefix_label() + "." + base

    def child(self, parent):
        """A name one to three labels below parent."""
        k = self.rng.choices((1, 2, 3), (70, 24, 6))[0]
        return ".".join(self.prefix_label() for _ in range(k)) + "." + parent

    def standalone(self):
        r = self.rng.random()
        base = self.registrable()
        if r < 0.25:
            return base
        if r < 0.85:
            return self.prefix_label() + "." + base
        return self.prefix_label() + "." + self.prefix_label() + "." + base


def make_names(rng, distinct):
    """Returns (names, parents): distinct names, about half of them covered."""
    namer = Namer(rng)
    seen = set()
    names = []
    parents = []

    def add(name):
        if name in seen:
            return False
        check_name(name)
        seen.add(name)
        names.append(name)
        return True

    n_parents = int(distinct * 0.14)
    n_children = int(distinct * 0.50)
    while len(parents) < n_parents:
        p = namer.parent(short=rng.random() < 0.02)
        if add(p):
            parents.append(p)
    # Children per parent are skewed: most parents have a few, some many
    # (like mktoresp.com or reporo.net in the real lists).
    weights = [rng.paretovariate(1.2) for _ in parents]
    made = 0
    while made < n_children:
        for p in rng.choices(parents, weights, k=min(65536, n_children - made)):
            if add(namer.child(p)):
                made += 1
    # Standalone names: no listed name is a parent of theirs (a later
    # standalone may still turn out to be a parent of an earlier one, rarely).
    while len(names) < distinct:
        name = namer.standalone()
        labels = name.split(".")
        if any(".".join(labels[i:]) in seen for i in range(1, len(labels) - 1)):
            continue
        add(name)
    rng.shuffle(names)
    return names, parents


def mixed_case(rng, name):
    return "".join(c.upper() if c.isalpha() and rng.random() < 0.3 else c for c in name)


SHARES = (0.40, 0.25, 0.25, 0.10)
FILES = ("1-hosts-zero.txt", "2-hosts-loop.txt", "3-domains.txt", "4-hosts-mixed.txt")


def plan_entries(rng, names, parents, total):
    """Assigns names to the four files with duplicates and exemptions.

    Returns, per file, a list of (name_as_written, exempt) entries."""
    # Exemptions: about 3 % of the entries, a fifth of them parents (a
    # whitelisted parent still covers its children). Only files 2 and 4 have
    # 1.1.1.1 lines, so exempt names go there.
    parent_set = set(parents)
    exempt = set(rng.sample(parents, min(len(parents), int(total * 0.006))))
    others = [n for n in rng.sample(names, min(len(names), int(total * 0.03)))
              if n not in parent_set]
    exempt.update(others[: int(total * 0.024)])
    entries = [[] for _ in FILES]
    files = range(len(FILES))
    for name in names:
        if name in exempt:
            entries[rng.choice((1, 3))].append((name, True))
        else:
            entries[rng.choices(files, SHARES)[0]].append((name, False))
    # Duplicates: half repeat a name of the same file, half one of an earlier
    # file (across files); one in five in mixed case.
    dups = total - len(names)
    for i in range(dups):
        if i % 2 == 0:
            f = rng.choices(range(len(FILES)), SHARES)[0]
            src = f
        else:
            f = rng.choice((1, 2, 3))
            src = rng.randrange(0, f)
        if not entries[src]:
            continue
        name, ex = rng.choice(entries[src])
        if rng.random() < 0.2:
            name = mixed_case(rng, name)
        entries[f].append((name, ex and f in (1, 3)))
    return entries


def reverse_key(entry):
    return entry[0].lower().split(".")[::-1]


def header(rng, title, count):
    return [
        "# Title: %s" % title,
        "# Generated block list for benchmarks (seed-reproducible)",
        "# Homepage: https://example.invalid/lists",
        "# Entries: {:,}".format(count),
        "# " + "=" * 60,
        "",
    ]


def write_file(path, lines, crlf):
    eol = "\r\n" if crlf else "\n"
    with open(path, "w", encoding="ascii", newline="") as out:
        out.write(eol.join(lines))
        out.write(eol)


def render_zero(rng, entries):
    entries.sort(key=lambda e: e[0].lower())
    lines = header(rng, "Zero hosts", len(entries))
    lines.append("0.0.0.0 0.0.0.0")
    for name, _ in entries:
        if rng.random() < 0.004:
            lines.append("0.0.0.0 %s # %s" % (name, rng.choice(("ads", "tracker", "malware"))))
        else:
            lines.append("0.0.0.0 " + name)
    return lines


def render_loop(rng, entries):
    entries.sort(key=reverse_key)
    lines = header(rng, "Loopback hosts", len(entries))
    lines += ["127.0.0.1  localhost", "::1  localhost", "127.0.0.1 localhost.localdomain",
              "255.255.255.255 broadcasthost", ""]
    section = None
    for name, ex in entries:
        labels = name.lower().split(".")
        dom = ".".join(labels[-3:] if labels[-2] in ("co", "com") else labels[-2:])
        if dom != section:
            section = dom
            lines.append("")
            lines.append("# [%s]" % dom)
        addr = "1.1.1.1" if ex else "127.0.0.1"
        sep = "\t" if rng.random() < 0.2 else (" " if rng.random() < 0.8 else "  ")
        lines.append(addr + sep + name)
        if rng.random() < 0.01:
            lines.append("::1" + sep + name)
    return lines


def render_domains(rng, entries):
    rng.shuffle(entries)
    lines = header(rng, "Domains", len(entries))
    for i, (name, _) in enumerate(entries):
        if i % 2000 == 0 and i:
            lines += ["", "#", "# Section %d" % (i // 2000), "#"]
        r = rng.random()
        if r < 0.003:
            lines.append("#" + name + " # disabled")
        elif r < 0.006:
            lines.append(name + " # false positive?")
        else:
            lines.append(name)
        if rng.random() < 0.005:
            lines.append("")
    return lines


def render_mixed(rng, entries):
    rng.shuffle(entries)
    lines = header(rng, "Mixed hosts", len(entries))
    i = 0
    while i < len(entries):
        name, ex = entries[i]
        if ex:
            lines.append("1.1.1.1 " + name)
            i += 1
            continue
        group = [name]
        i += 1
        k = rng.choices((1, 2, 3), (80, 15, 5))[0]
        while len(group) < k and i < len(entries) and not entries[i][1]:
            group.append(entries[i][0])
            i += 1
        lines.append("0.0.0.0 " + " ".join(group))
        if rng.random() < 0.002:
            lines.append("255.255.255.255 " + name)
    return lines


def generate(outdir, total, seed):
    rng = random.Random("%d/%d" % (seed, total))
    distinct = total - int(total * 0.07)
    names, parents = make_names(rng, distinct)
    entries = plan_entries(rng, names, parents, total)
    os.makedirs(outdir, exist_ok=True)
    renderers = (render_zero, render_loop, render_domains, render_mixed)
    info = {"version": GENERATOR_VERSION, "seed": seed, "entries": total,
            "distinct": distinct, "parents": len(parents), "files": []}
    for fname, render, ents in zip(FILES, renderers, entries):
        path = os.path.join(outdir, fname)
        write_file(path, render(rng, ents), crlf=fname.startswith("2-"))
        info["files"].append({"name": fname, "entries": len(ents),
                              "bytes": os.path.getsize(path)})
    with open(os.path.join(outdir, "manifest.json"), "w") as out:
        json.dump(info, out, indent=1)
        out.write("\n")
    return info


def up_to_date(outdir, total, seed):
    try:
        with open(os.path.join(outdir, "manifest.json")) as f:
            info = json.load(f)
    except (OSError, ValueError):
        return False
    return (info.get("version") == GENERATOR_VERSION and info.get("seed") == seed
            and info.get("entries") == total
            and all(os.path.exists(os.path.join(outdir, n)) for n in FILES))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("outdir", nargs="?", default=os.path.join(here, "out"))
    ap.add_argument("--sizes", default="100k,1m,5m")
    ap.add_argument("--seed", type=int, default=20261210)
    ap.add_argument("--force", action="store_true", help="regenerate existing sets")
    args = ap.parse_args()
    for text in args.sizes.split(","):
        total = parse_size(text)
        d = os.path.join(args.outdir, size_label(total))
        if not args.force and up_to_date(d, total, args.seed):
            print("%s: up to date" % d)
            continue
        info = generate(d, total, args.seed)
        size = sum(f["bytes"] for f in info["files"])
        print("%s: %d entries, %d distinct, %.1f MB" % (d, total, info["distinct"], size / 1e6))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
