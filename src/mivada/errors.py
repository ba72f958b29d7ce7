"""The errors mivada raises of its own.

Every one derives from ``MivadaError``, so ``except mivada.MivadaError``
catches all of them, and from the standard exception callers caught
before the root existed (``ValueError`` for bad arguments and files,
``RuntimeError`` for stores that cannot be used).

Argument errors read "``argument``: expected …, got …".
"""

MAX_REPORTED = 20


class MivadaError(Exception):
    """Root of the market-data client's errors."""


class StoreError(MivadaError, RuntimeError):
    """A store is missing, unreadable, locked or of another schema version."""


class ArgumentError(MivadaError, ValueError):
    """An argument of a mivada call has the wrong type or value."""


def argument_error(name, expected, got):
    """An ``ArgumentError`` reading "name: expected …, got …"; ``got`` is
    text already (a repr, or a description of what was given)."""
    return ArgumentError("{}: expected {}, got {}".format(name, expected, got))


class IngestError(MivadaError, ValueError):
    """The files cannot be imported; ``problems`` lists (file, row, text)."""

    def __init__(self, problems):
        self.problems = list(problems)
        lines = [
            "{}{}: {}".format(f, "" if r is None else ", " + r, text)
            for f, r, text in self.problems[:MAX_REPORTED]
        ]
        more = len(self.problems) - MAX_REPORTED
        if more > 0:
            lines.append("... and {} more problem(s)".format(more))
        super().__init__("nothing was imported:\n  " + "\n  ".join(lines))


class IngestStoreError(IngestError, StoreError):
    """An import that could not use its store (locked by another process,
    read-only, not a store): both an ``IngestError`` and a ``StoreError``,
    with a one-line message naming the store and the cause."""

    def __init__(self, path, cause):
        super().__init__([(path, None, cause)])
        self.args = ("nothing was imported: {}".format(cause),)
