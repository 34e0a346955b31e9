#!/usr/bin/env python3
"""Checks the relative links of Markdown files: the target file exists and
a #anchor names a heading of it (GitHub's slugs). Arguments: files or
folders (default: every *.md of the repository outside build folders).
Exit status 1 lists each broken link as FILE:LINE: LINK."""

import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# [text](target) and ![alt](target); a title after the target is dropped.
LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
FENCE = re.compile(r"^\s*(```|~~~)")


def slug(heading):
    """GitHub's anchor: markup removed, lower case, punctuation dropped
    except hyphens and underscores, each blank a hyphen."""
    text = re.sub(r"`|\*\*|!?\[([^\]]*)\]\([^)]*\)", r"\1", heading.strip()).lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def outside_code(path):
    """(line number, text) of the lines outside fenced code, inline code cut out."""
    fenced = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
        elif not fenced:
            yield number, re.sub(r"`[^`]*`", "", line)


def broken_links(path):
    for number, line in outside_code(path):
        for target in LINK.findall(line):
            if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):
                continue  # http:, https:, mailto: are not checked offline
            file_part, _, anchor = target.partition("#")
            dest = (path.parent / file_part).resolve() if file_part else path
            if not dest.exists():
                yield number, target, "no such file"
            elif anchor and dest.suffix == ".md" and anchor not in anchors(dest):
                yield number, target, "no such heading"


def anchors(path):
    """Anchors of the headings outside fenced code, repeats numbered."""
    seen, found, fenced = {}, set(), False
    for line in path.read_text(encoding="utf-8").splitlines():
        if FENCE.match(line):
            fenced = not fenced
            continue
        m = None if fenced else re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
        if m:
            base = slug(m[1])
            found.add(base if base not in seen else f"{base}-{seen[base]}")
            seen[base] = seen.get(base, 0) + 1
    return found


def markdown_files(args):
    roots = [Path(a) for a in args] or [REPO]
    for root in roots:
        if root.is_file():
            yield root
            continue
        for path in sorted(root.rglob("*.md")):
            parts = path.relative_to(root).parts
            if not any(p.startswith(("build", ".", "node_modules", "dist")) for p in parts):
                yield path


def main(args):
    failures = 0
    for path in markdown_files(args):
        for number, target, why in broken_links(path):
            print(f"{path}:{number}: {target} ({why})")
            failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
