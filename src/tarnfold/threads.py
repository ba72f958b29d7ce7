"""How many threads tarnfold's C++ computations use.

``thread_count(threads=None)`` settles the number every threaded
computation starts with (the C++ side splits work with
``cpp/kernels/parallel.hpp``, results bit-identical whatever the count):

1. ``threads`` when given (a positive integer);
2. else ``TARNFOLD_THREADS`` from the environment;
3. else 1 inside a Dask worker (a batch runs one single-threaded task per
   worker process, one worker per core);
4. else the cores this process may run on (``os.sched_getaffinity``).

``threads_setting(value, name)`` checks a ``threads=`` argument the same
way (None passes), for functions that take one.
"""

import numbers
import os
import sys

__all__ = ["thread_count", "threads_setting", "ENVIRONMENT_VARIABLE"]

ENVIRONMENT_VARIABLE = "TARNFOLD_THREADS"


def threads_setting(value, name="threads"):
    """``value`` as a thread count, or None; TypeError/ValueError naming
    ``name`` otherwise."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(
            "{}: expected a positive integer number of threads, got {!r}".format(name, value)
        )
    if value < 1:
        raise ValueError(
            "{}: expected a positive integer number of threads, got {!r}".format(name, value)
        )
    return int(value)


def _from_environment():
    text = os.environ.get(ENVIRONMENT_VARIABLE, "").strip()
    if not text:
        return None
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise ValueError(
            "{}: expected a positive integer number of threads, got {!r}".format(
                ENVIRONMENT_VARIABLE, text
            )
        )
    return value


def _in_dask_worker():
    # distributed is only consulted when something imported it already (it
    # takes about a second to import)
    if "distributed" not in sys.modules:
        return False
    try:
        from distributed import get_worker

        get_worker()
    except (ImportError, ValueError):
        return False
    return True


def _cores():
    try:
        return max(len(os.sched_getaffinity(0)), 1)
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def thread_count(threads=None):
    """The number of threads to use (see the module documentation)."""
    chosen = threads_setting(threads)
    if chosen is not None:
        return chosen
    chosen = _from_environment()
    if chosen is not None:
        return chosen
    if _in_dask_worker():
        return 1
    return _cores()
