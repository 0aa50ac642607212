#!/usr/bin/env python3
"""Checks the relative links of the project's Markdown files.

Every relative link and image of README.md, docs/*.md and tools/*/README.md
must name a file or folder that exists, and a #anchor must name a heading of
the Markdown file it points into, as GitHub makes heading anchors: the
heading's text lower-cased, punctuation and symbols dropped (except '-' and
'_'), spaces turned into '-', and -1, -2, ... added to repeated ones.

    scripts/check-links.py          # from the top of the repository

Exit code 0 when every link holds, 1 with one line per broken link.
"""
import glob
import os
import re
import sys
import unicodedata

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FILES = ["README.md", "docs/*.md", "tools/*/README.md"]

FENCE = re.compile(r"^\s{0,3}(```|~~~)")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
# [text](target) and ![alt](target); the target may carry a "title".
INLINE_LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s.*)?$")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")


def prose_lines(text):
    """The lines outside fenced and indented code blocks, with their numbers."""
    fenced = None
    previous_blank = True
    in_indented = False
    for number, line in enumerate(text.splitlines(), 1):
        fence = FENCE.match(line)
        if fenced is not None:
            if fence and fence.group(1) == fenced:
                fenced = None
            continue
        if fence:
            fenced = fence.group(1)
            continue
        blank = line.strip() == ""
        # An indented code block starts after a blank line; a list item's
        # indented continuation is prose, which this does not tell apart, so
        # such lines are skipped too (links are not written there).
        if line.startswith("    ") and (previous_blank or in_indented):
            in_indented = True
            continue
        if not blank:
            in_indented = False
        previous_blank = blank
        yield number, line


def slug(heading):
    """GitHub's anchor for a heading's Markdown text."""
    text = CODE_SPAN.sub(lambda m: m.group(2), heading)
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", text)  # links: their text
    text = re.sub(r"<[^>]+>", "", text)  # inline HTML
    kept = []
    for char in text.lower():
        category = unicodedata.category(char)
        if char in " -_" or category[0] in "LMN":
            kept.append(char)
    return "".join(kept).replace(" ", "-")


def anchors(path, cache={}):
    if path not in cache:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        seen = {}
        found = set()
        for _, line in prose_lines(text):
            match = HEADING.match(line)
            if not match:
                continue
            base = slug(match.group(2))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
        cache[path] = found
    return cache[path]


def links(text):
    for number, line in prose_lines(text):
        definition = REFERENCE_DEFINITION.match(line)
        if definition:
            yield number, definition.group(1)
            continue
        for match in INLINE_LINK.finditer(CODE_SPAN.sub("", line)):
            yield number, match.group(1)


def check(path):
    broken = []
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for number, target in links(text):
        if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target) or target.startswith("//"):
            continue  # http:, https:, mailto: ...
        file_part, _, anchor = target.partition("#")
        where = os.path.relpath(path, ROOT)
        linked = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
        if not os.path.exists(linked):
            broken.append(f"{where}:{number}: {target}: no such file")
            continue
        if anchor and linked.endswith(".md") and anchor not in anchors(linked):
            broken.append(f"{where}:{number}: {target}: no heading with the anchor #{anchor}")
    return broken


def main():
    paths = sorted({p for pattern in FILES for p in glob.glob(os.path.join(ROOT, pattern))})
    broken = [line for path in paths for line in check(path)]
    for line in broken:
        print(line)
    print(f"check-links: {len(paths)} files, {len(broken)} broken links")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
