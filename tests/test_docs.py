"""Every Python snippet of README.md and docs/*.md runs as written, printing
what its `# prints ...` comments say, and every link between the documents
leads to a file and heading that exist."""
import contextlib
import io
import os
import re

import pytest

import readme

pytest.importorskip("numpy")
SNIPPETS = readme.python_snippets()


def test_the_guides_have_python_snippets():
    assert {where.split(":")[0] for where, _ in SNIPPETS} >= {"README.md", os.path.join("docs", "python.md")}


@pytest.mark.parametrize("code", [code for _, code in SNIPPETS], ids=[where for where, _ in SNIPPETS])
def test_python_snippet_runs_and_prints_what_it_says(code):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "<snippet>", "exec"), {"__name__": "__snippet__"})
    assert out.getvalue().splitlines() == re.findall(r"# prints (.*)$", code, re.M)


def slug(heading):
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def test_links_between_the_documents_resolve():
    for path in readme.DOCS:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for target, anchor in re.findall(r"\]\(([^)#:]*)(?:#([^)]*))?\)", text):
            linked = os.path.normpath(os.path.join(os.path.dirname(path), target)) if target else path
            assert os.path.isfile(linked), (path, target)
            if anchor:
                with open(linked, encoding="utf-8") as f:
                    prose = readme.BLOCK.sub("", f.read())  # a `# comment` in code is no heading
                headings = [slug(h) for h in re.findall(r"^#+ (.*)$", prose, re.M)]
                assert anchor in headings, (path, target, anchor)

