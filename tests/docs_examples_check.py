"""Checks that every code example of the guides is a file the tests run.

In docs/*.md and README.md, a line `<!-- example: PATH -->` right before a
fenced code block says the block is the file PATH (relative to the
repository) word for word; the tests build and run that file.  A fenced
block of C or Python without such a line is an example nothing runs, and
fails the check, as does a block that differs from its file.

    python3 tests/docs_examples_check.py REPOSITORY
"""
import glob
import os
import re
import sys

MARK = re.compile(r"<!-- example: (\S+) -->\s*\n```[a-z]*\n(.*?)```", re.S)
BLOCK = re.compile(r"(<!-- example: \S+ -->\s*\n)?```(c|python)\n", re.S)


def main():
    root = sys.argv[1]
    problems = []
    for doc in sorted(glob.glob(os.path.join(root, "docs", "*.md")) + [os.path.join(root, "README.md")]):
        text = open(doc, encoding="utf-8").read()
        name = os.path.relpath(doc, root)
        for block in BLOCK.finditer(text):
            if block.group(1) is None:
                line = text.count("\n", 0, block.start()) + 1
                problems.append("%s:%d: a %s example that no test runs" % (name, line, block.group(2)))
        for mark in MARK.finditer(text):
            path = os.path.join(root, mark.group(1))
            if not os.path.exists(path):
                problems.append("%s: %s does not exist" % (name, mark.group(1)))
            elif open(path, encoding="utf-8").read() != mark.group(2):
                problems.append("%s: the copy of %s differs from the file" % (name, mark.group(1)))
    for problem in problems:
        print(problem)
    print("%d problems" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
