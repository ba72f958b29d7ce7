"""``python -m tarnfold.demo [options]``: the same as ``tarnfold demo``.

Opens (and on first use generates) the sample store, tests factors with a
real signal and without one through the whole bench, prints the summaries
and writes ``tarnfold-demo.html``.  See ``tarnfold demo --help``.

The same factors as a batch: ``tarnfold assay-many tarnfold.demo`` (this
module's ``factors()``).
"""

import sys

from tarnfold.cli import main as _main


def factors():
    """The demo's factors, name -> factor tree, for ``tarnfold assay-many``."""
    from tarnfold.cli.factors import demo_factor_trees

    return demo_factor_trees()


def main(argv=None):
    """Run ``tarnfold demo`` with ``argv`` (default: the command line)."""
    return _main(["demo"] + list(sys.argv[1:] if argv is None else argv))


if __name__ == "__main__":
    sys.exit(main())
