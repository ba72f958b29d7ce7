import os

import pytest

import mivada
from mivada.sample import PRESETS, build_sample_store


@pytest.fixture(scope="session")
def tiny_store(tmp_path_factory):
    """Path of the tiny sample store, built once per session."""
    path = tmp_path_factory.mktemp("engine-tiny") / "tiny.duckdb"
    build_sample_store(path, PRESETS["tiny"])
    return str(path)


@pytest.fixture
def store(tiny_store):
    """The tiny sample opened as the current store."""
    current = mivada.api._state["store"]
    if current is None or os.path.realpath(current.path) != os.path.realpath(tiny_store):
        mivada.init(tiny_store)
    return tiny_store
