"""``python -m tarnfold.cli``: the tarnfold command."""

import sys

from tarnfold.cli import main

sys.exit(main())
