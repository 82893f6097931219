"""The consumer snippets of the README, keyed by the file name that each
one's first line gives ("/* mymod.c: ...", "# setup.py", "# mymod_cy.pyx:
..."); fenced blocks without such a name are not files."""
import os
import re

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def snippets():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    found = {}
    for body in re.findall(r"^```\w+\n(.*?)^```$", text, re.S | re.M):
        name = re.match(r"(?:/\*|#) ?([\w.]+\.(?:c|py|pyx))\b", body)
        if name:
            if name.group(1) in found:
                raise ValueError("README names %s twice" % name.group(1))
            found[name.group(1)] = body
    return found
