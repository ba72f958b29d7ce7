"""The ``tarnfold`` command (also ``python -m tarnfold``).

``parser`` holds the options; ``demo``, ``assay`` and ``many`` run the
commands of those names (``many``: assay-many); ``common``, ``tables`` and
``bench`` hold what they share.
"""

import importlib
import os
import sys
import warnings

from tarnfold.cli.common import USER_ERRORS, Progress, UserError, error_text, one_line_warnings
from tarnfold.cli.parser import build_parser

__all__ = ["main", "build_parser", "UserError"]

RUNNERS = {
    "demo": "tarnfold.cli.demo",
    "assay": "tarnfold.cli.assay",
    "assay-many": "tarnfold.cli.many",
}


def main(argv=None):
    """Run the command line ``argv`` (default: this process's) and return
    the exit code: 0 done, 1 unusable input (one message on stderr), 2 a
    malformed option, 3 a batch in which some factor failed."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    progress = Progress(args.quiet)
    with warnings.catch_warnings():
        warnings.showwarning = one_line_warnings(args.quiet)
        try:
            # the runners bring in the bench (statsmodels, scipy: seconds of
            # imports); loading one only now keeps --help and option errors
            # instant
            runner = importlib.import_module(RUNNERS[args.command])
            return runner.run(args, progress)
        except BrokenPipeError:
            # the reader of the output left (tarnfold ... | head): no error
            # of ours, and nothing more to print
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
        except USER_ERRORS as exc:
            if args.traceback:
                raise
            print("tarnfold {}: error: {}".format(args.command, error_text(exc)), file=sys.stderr)
            return 1
