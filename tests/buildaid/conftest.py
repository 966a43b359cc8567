import pytest

import zudirivi as tvp


@pytest.fixture
def model():
    return tvp.Model()


@pytest.fixture
def x(model):
    """A one-dimensional MVar of three variables with indices 0, 1, 2."""
    v = model.addMVar((3,))
    model.update()
    return v
