"""The code blocks of README.md and docs/*.md.  Consumer snippets are keyed
by the file name each one's first line gives ("/* mymod.c: ...",
"# setup.py", "# mymod_cy.pyx: ..."); every other ```python block is a
snippet to run."""
import glob
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")
DOCS = [README] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.S | re.M)
FILE_NAME = re.compile(r"(?:/\*|#) ?([\w.]+\.(?:c|py|pyx))\b")


def blocks():
    """(document, line, language, code) of every fenced block."""
    for path in DOCS:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for m in BLOCK.finditer(text):
            yield os.path.relpath(path, ROOT), text.count("\n", 0, m.start()) + 1, m.group(1), m.group(2)


def snippets():
    found = [(FILE_NAME.match(code), code) for _, _, _, code in blocks()]
    named = {m.group(1): code for m, code in found if m}
    assert len(named) == sum(1 for m, _ in found if m), "a file name appears twice in the docs"
    return named


def python_snippets():
    """("document:line", code) of every ```python block that names no file."""
    return [("%s:%d" % (path, line), code) for path, line, lang, code in blocks()
            if lang == "python" and not FILE_NAME.match(code)]
