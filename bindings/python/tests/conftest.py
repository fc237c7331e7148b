"""Fixtures of the binding's tests (helpers in binding_support.py)."""
import pytest

from binding_support import Copies


@pytest.fixture
def copies(tmp_path):
    c = Copies(tmp_path)
    yield c
    for lib in c.loaded:
        if lib is not None:
            lib.stop()
            assert not lib.running


@pytest.fixture
def lib(copies):
    return copies.load()
