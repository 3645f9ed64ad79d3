#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Prints this machine's apt sources for Debian 12 (bookworm and its -updates and -security
suites) as one-line entries, "deb URI SUITE COMPONENTS", one per line: from deb822 .sources files
and from sources.list files; Debian's own mirror when there are none. mmdebstrap takes these lines
on its standard input or as arguments, so a root made for a test downloads from the mirror the
host already uses.

    python3 scripts/debian_mirrors.py        (or import it and call mirrors())
"""
import glob
import os
import re


def mirrors(etc="/etc/apt"):
    entries = []
    for path in sorted(glob.glob(os.path.join(etc, "sources.list.d", "*.sources"))):
        with open(path) as f:
            for stanza in f.read().split("\n\n"):
                fields = dict(re.findall(r"^([A-Za-z-]+):[ \t]*(.*)$", stanza, re.M))
                if fields.get("Types", "").split()[:1] != ["deb"] or fields.get("Enabled", "yes") != "yes":
                    continue
                for uri in fields.get("URIs", "").split():
                    entries += ["deb %s %s %s" % (uri, suite, fields.get("Components", "main"))
                                for suite in fields.get("Suites", "").split() if suite.startswith("bookworm")]
    for path in [os.path.join(etc, "sources.list")] + sorted(glob.glob(os.path.join(etc, "sources.list.d", "*.list"))):
        if os.path.exists(path):
            with open(path) as f:
                entries += [line.strip() for line in f if re.match(r"\s*deb\s+\S+\s+bookworm", line)]
    return list(dict.fromkeys(entries)) or ["deb http://deb.debian.org/debian bookworm main"]


if __name__ == "__main__":
    print("\n".join(mirrors()))
