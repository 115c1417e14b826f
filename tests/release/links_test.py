#!/usr/bin/env python3
"""Every relative link in the project's Markdown pages resolves: the file is there, and the heading a #fragment
names is in it, as GitHub makes a heading's anchor."""
import os
import re
import sys
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def anchor(heading):
    """GitHub's anchor of a heading: lower case, punctuation but hyphens and underscores dropped, spaces hyphens."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower().replace("`", ""))
    return text.replace(" ", "-")


def anchors_of(path):
    found, seen, fenced = set(), {}, False
    with open(path, encoding="utf-8") as page:
        for line in page:
            if line.startswith("```"):
                fenced = not fenced
            match = None if fenced else re.match(r"^#{1,6} (.+)$", line)
            if match:
                name = anchor(match.group(1))
                count = seen.get(name, 0)
                seen[name] = count + 1
                found.add(name if count == 0 else f"{name}-{count}")
    return found


def pages():
    """Every Markdown page of the source tree (no git needed: a copy of the tree has none)."""
    names = set()
    for folder, subfolders, files in os.walk(ROOT):
        subfolders[:] = [name for name in subfolders if name not in ("build", "dist", ".git", "node_modules")]
        names |= {os.path.relpath(os.path.join(folder, name), ROOT) for name in files if name.endswith(".md")}
    return sorted(names)


def broken_links(page):
    broken = []
    with open(os.path.join(ROOT, page), encoding="utf-8") as text:
        lines = text.read().splitlines()
    fenced = False
    for number, line in enumerate(lines, 1):
        if line.startswith("```"):
            fenced = not fenced
        if fenced or line.startswith("    "):
            continue
        for target in LINK.findall(line):
            if re.match(r"^[a-z]+:", target):
                continue
            path, _, fragment = target.partition("#")
            resolved = os.path.normpath(os.path.join(ROOT, os.path.dirname(page), path)) if path else \
                os.path.join(ROOT, page)
            if not os.path.exists(resolved):
                broken.append(f"{page}:{number}: {target}: no such file")
            elif fragment and resolved.endswith(".md") and fragment not in anchors_of(resolved):
                broken.append(f"{page}:{number}: {target}: no such heading")
    return broken


class LinksTest(unittest.TestCase):
    def test_the_anchor_of_a_heading_is_githubs(self):
        self.assertEqual(anchor("Every profile at once (`/AllProfiles`)"), "every-profile-at-once-allprofiles")
        self.assertEqual(anchor("Configuration Manager application, for the user"),
                         "configuration-manager-application-for-the-user")

    def test_every_relative_link_resolves(self):
        found = pages()
        self.assertIn("README.md", found)
        broken = [link for page in found for link in broken_links(page)]
        self.assertEqual(broken, [], "\n".join(broken))


if __name__ == "__main__":
    result = unittest.main(exit=False).result
    failed = len(result.failures) + len(result.errors)
    print(f"{result.testsRun - failed} passed, {failed} failed")
    sys.exit(0 if result.wasSuccessful() else 1)
