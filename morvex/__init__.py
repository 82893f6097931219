"""morvex: integer-triple (head, relation, tail) tooling."""
