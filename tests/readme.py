"""The README's consumer snippets, keyed by the file name each one's first
line gives ("/* mymod.c: ...", "# setup.py", "# mymod_cy.pyx: ...")."""
import os
import re

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def snippets():
    with open(README, encoding="utf-8") as f:
        blocks = re.findall(r"^```\w+\n(.*?)^```$", f.read(), re.S | re.M)
    names = [re.match(r"(?:/\*|#) ?([\w.]+\.(?:c|py|pyx))\b", b) for b in blocks]
    found = {m.group(1): b for m, b in zip(names, blocks) if m}
    assert len(found) == sum(1 for m in names if m), "a file name appears twice in the README"
    return found
