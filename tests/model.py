"""What the tests compare the module against, written once: the five orders
as Python sort keys and the random streams' recurrence."""

MASK = 2 ** 64 - 1
MULTIPLIER = 25214903917
INCREMENT = 11

# sort keys of the five orders, by the comparison's name without "cmp_"
KEYS = {
    "head": lambda t: (t[0], t[1], t[2]),
    "tail": lambda t: (t[2], t[1], t[0]),
    "rel": lambda t: (t[0], t[2], t[1]),
    "rel2": lambda t: (t[1], t[0], t[2]),
    "rel3": lambda t: (t[1], t[2], t[0]),
}
ORDERS = list(KEYS)
# the same, under the exported names
CMP_KEYS = {"cmp_" + name: key for name, key in KEYS.items()}


def step(s):
    """One step of a stream: the whole 64-bit word is the state."""
    return (s * MULTIPLIER + INCREMENT) & MASK
