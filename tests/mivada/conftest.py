import os

import pytest

import mivada
from mivada.sample import PRESETS, build_sample_store


@pytest.fixture(scope="session", autouse=True)
def isolated_home(tmp_path_factory):
    """Keep generated stores out of the user's cache folder."""
    home = tmp_path_factory.mktemp("mivada-home")
    saved = {k: os.environ.get(k) for k in ("MIVADA_HOME", "MIVADA_STORE")}
    os.environ["MIVADA_HOME"] = str(home)
    os.environ.pop("MIVADA_STORE", None)
    yield home
    mivada.close()
    for k, v in saved.items():
        if v is None:
            os.environ.pop(k, None)
        else:
            os.environ[k] = v


@pytest.fixture(scope="session")
def tiny_market(tmp_path_factory):
    """(store path, simulated market) of the tiny sample."""
    path = tmp_path_factory.mktemp("tiny") / "tiny.duckdb"
    market = build_sample_store(path, PRESETS["tiny"])
    return str(path), market


@pytest.fixture
def market(tiny_market):
    """The tiny sample, opened as the current store."""
    path, market = tiny_market
    store = mivada.current_store() if mivada.api._state["store"] else None
    if store is None or store.path != path:
        mivada.init(path)
    return market
