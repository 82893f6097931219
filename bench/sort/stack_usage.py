"""Worst-case stack use of quick_sort, from the compiler's own figures.

Reads the call graphs with frame sizes that g++ writes for the sort's
sources under -fcallgraph-info=su (a .ci file each: a call into another
source is a node without a frame there, and has its frame in the other's),
and prints every function reachable from quick_sort with its frame, then the
deepest chain of calls and its total.
Fails (exit 1) when a frame is dynamic or unbounded, when the functions
recurse, or when the chain needs more than the budget.  Calls through the
caller's comparison pointer count as one frame of the placeholder (0 bytes):
what the caller's function itself uses is the caller's.

    python3 stack_usage.py BUDGET_BYTES FILE.ci [FILE.ci ...]
"""
import re
import sys

NODE = re.compile(r'node: \{ title: "([^"]+)" label: "([^"]*)"')
EDGE = re.compile(r'edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"')
SIZE = re.compile(r"\\n(\d+) bytes \(([a-z,]+)\)")
ALIAS = re.compile(r"([CD])1E")


def main():
    budget = int(sys.argv[1])
    paths = sys.argv[2:]
    frames, kinds, names, calls = {}, {}, {}, {}
    for path in paths:
        text = open(path).read()
        for title, label in NODE.findall(text):
            m = SIZE.search(label)
            if m is None and title in names:
                continue  # defined in another source (or already seen)
            names[title] = label.split("\\n")[0]
            # an inline function defined in several sources: its largest frame
            frames[title] = max(frames.get(title, 0), int(m.group(1))) if m else 0
            kinds[title] = m.group(2) if m else "external"
        for src, dst in EDGE.findall(text):
            calls.setdefault(src, set()).add(dst)
    # g++ emits a complete-object constructor or destructor (C1, D1) that
    # is the same as its base-object one (C2, D2) as an alias of it: calls
    # to the first have their frame in the second
    for src in calls:
        calls[src] = {d if d in names else ALIAS.sub(r"\g<1>2E", d) for d in calls[src]}

    roots = [t for t, n in names.items() if "quick_sort(" in n]
    if len(roots) != 1:
        sys.exit("quick_sort not found once in %s" % " ".join(paths))

    deepest = {}  # title -> (bytes, chain)
    active = set()

    def depth(t):
        if t in deepest:
            return deepest[t]
        if t in active:
            sys.exit("recursion through %s" % names[t])
        active.add(t)
        below = max((depth(c) for c in calls.get(t, ())), default=(0, []))
        active.discard(t)
        deepest[t] = (frames[t] + below[0], [t] + below[1])
        return deepest[t]

    total, chain = depth(roots[0])
    bad = False
    print("%7s  %-9s %s" % ("bytes", "kind", "function reachable from quick_sort"))
    for t in sorted(deepest, key=lambda t: -frames[t]):
        print("%7d  %-9s %s" % (frames[t], kinds[t], names[t][:150]))
        if "dynamic" in kinds[t] and "bounded" not in kinds[t]:
            bad = True
    print("\ndeepest chain:")
    for t in chain:
        print("%7d  %s" % (frames[t], names[t][:150]))
    print("%7d  total (budget %d)" % (total, budget))
    if bad or total > budget:
        print("FAIL: unbounded frame or over budget")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
