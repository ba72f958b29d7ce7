"""Which store the operations read: opening, pinning and closing stores,
and where sample stores live."""

import contextlib
import contextvars
import os
import threading

from mivada.errors import argument_error
from mivada.schema import SCHEMA_VERSION
from mivada.store import Store, StoreError

_state = {"store": None, "failed": None}
_state_lock = threading.Lock()
_open_lock = threading.Lock()
# A store pinned by ``pinned_store`` for the code running in this context
# (thread or task); operations read it instead of the current store.
_pinned = contextvars.ContextVar("mivada_pinned_store", default=None)


def sample_home():
    """Folder holding generated sample stores: ``$MIVADA_HOME`` or
    ``~/.cache/mivada``."""
    home = os.environ.get("MIVADA_HOME")
    if home:
        return home
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "mivada")


def sample_size(sample="default", n_stocks=None, n_days=None, seed=None):
    """The ``SampleSize`` for a preset name, optionally resized."""
    from mivada.sample import PRESETS, SampleSize

    if sample not in PRESETS:
        raise argument_error("sample", "one of {}".format(sorted(PRESETS)), repr(sample))
    base = PRESETS[sample]
    return SampleSize(
        n_stocks=base.n_stocks if n_stocks is None else int(n_stocks),
        n_days=base.n_days if n_days is None else int(n_days),
        seed=base.seed if seed is None else int(seed),
        end_date=base.end_date,
    )


def sample_path(size, home=None):
    """Where the sample store for ``size`` lives in the cache folder."""
    from mivada.sample import GENERATOR_VERSION, PRESETS

    name = next((k for k, v in PRESETS.items() if v == size), size.label)
    return os.path.join(
        home or sample_home(),
        "sample-s{}-g{}-{}.duckdb".format(SCHEMA_VERSION, GENERATOR_VERSION, name),
    )


def init(
    path=None, sample=None, *, n_stocks=None, n_days=None, seed=None, home=None, regenerate=False
):
    """Open a store and make it the one every operation reads.

    ``init(path)`` opens an existing store file (made by ``ingest`` or by
    ``build_sample_store``).  Without a path it opens the environment's
    ``$MIVADA_STORE`` if set, else the sample store of size ``sample``
    ("tiny", "small", "default", "bench" or "large"; ``n_stocks``,
    ``n_days`` and ``seed`` change it) in ``home`` (default: ``sample_home()``),
    generating it on first use.  ``regenerate=True`` rebuilds a sample store.

    A missing, corrupt, locked or other-version store raises ``StoreError``.
    A failed ``init`` leaves the store that was open current; when none was,
    the next operation raises ``StoreError`` saying so (it never falls back
    to the sample) until an ``init`` succeeds or ``close`` is called.  Code running inside
    ``pinned_store`` keeps the store it pinned.  Returns the opened ``Store``.
    """
    try:
        return _init(
            path,
            sample,
            n_stocks=n_stocks,
            n_days=n_days,
            seed=seed,
            home=home,
            regenerate=regenerate,
        )
    except Exception as exc:
        # A store that was open stays current.  Without one, the next
        # operation reports this failure instead of opening the sample.
        where = path if path is not None else "the sample store"
        with _state_lock:
            if _state["store"] is None:
                _state["failed"] = "init({!r}) failed: {}".format(
                    os.fspath(where), str(exc).splitlines()[0] if str(exc) else type(exc).__name__
                )
        raise


def _init(path, sample, *, n_stocks, n_days, seed, home, regenerate):
    if path is not None and (
        sample is not None or n_stocks is not None or n_days is not None or seed is not None
    ):
        raise argument_error("path", "either a store path or a sample size", "both")
    if (
        path is None
        and sample is None
        and n_stocks is None
        and n_days is None
        and seed is None
        and os.environ.get("MIVADA_STORE")
    ):
        path = os.environ["MIVADA_STORE"]
    size = None
    if path is None:
        size = sample_size(sample or "default", n_stocks, n_days, seed)
        path = sample_path(size, home)
    # DuckDB hands out the already open database for a path it has open, so
    # reopening the current store (possibly rewritten since) must close it
    # first to see the file as it is now.
    current = _state["store"]
    if current is not None and _same_file(current.path, path):
        close()
    from mivada.store import remove_stale_temp_files

    # what a killed generation or import left behind
    remove_stale_temp_files(path)
    if size is not None and (regenerate or not os.path.exists(path)):
        from mivada.sample import build_sample_store

        build_sample_store(path, size)
    store = Store(path)
    with _state_lock:
        old, _state["store"] = _state["store"], store
        _state["failed"] = None
    _release(old)
    return store


def _release(store):
    """Close a store that is no longer current, or, while some code still
    has it pinned, once the last pin is released."""
    if store is not None:
        store.release()


def _same_file(a, b):
    return os.path.realpath(os.fspath(a)) == os.path.realpath(os.fspath(b))


def close():
    """Close the current store; the next operation opens the default one."""
    with _state_lock:
        old, _state["store"] = _state["store"], None
        _state["failed"] = None
    _release(old)


def current_store():
    """The store operations read: the one pinned by ``pinned_store`` in
    this context, else the current one, opening the default store if none
    was opened yet.  After a failed ``init`` raises ``StoreError``."""
    pinned = _pinned.get()
    if pinned is not None:
        return pinned
    store = _state["store"]
    if store is None:
        # one thread opens (and maybe generates) the default store; others
        # wait for it instead of opening their own
        with _open_lock:
            store = _state["store"]
            if store is None:
                failed = _state["failed"]
                if failed is not None:
                    raise StoreError(
                        "no store is open: the last {}; call mivada.init() "
                        "with a readable store".format(failed)
                    )
                store = init()
    return store


@contextlib.contextmanager
def pinned_store(store=None):
    """Within the block, operations of this thread (or task) read ``store``
    (default: the current store), even if another thread calls ``init``
    meanwhile; the replaced store stays open until the block ends.  Yields
    the store; with no store open (and none given) pins nothing and yields
    None."""
    if store is None:
        store = _pinned.get() or _state["store"]
    if store is None:
        yield None
        return
    store.pin()
    token = _pinned.set(store)
    try:
        yield store
    finally:
        _pinned.reset(token)
        store.unpin()


def store_token():
    """An identity of the store operations would read now (pinned or
    current), without opening one: None when no store is open.  Caches key
    their results by it, so that nothing computed from one store is served
    after switching to another."""
    store = _pinned.get() or _state["store"]
    return None if store is None else store.serial
