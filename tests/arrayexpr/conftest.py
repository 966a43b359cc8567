"""Fixtures shared by the matrix-class tests: a stand-in model and small
variable arrays of it, already added to the model."""

import pytest

import zudirivi as tvp


@pytest.fixture
def model():
    return tvp.Model()


@pytest.fixture
def x(model):
    x = model.addMVar(3)
    model.update()
    return x


@pytest.fixture
def y(model):
    y = model.addMVar(3)
    model.update()
    return y


@pytest.fixture
def v(model):
    v = model.addVar()
    model.update()
    return v


@pytest.fixture(params=[1, 0], ids=["compact", "full"])
def keep(request):
    """Runs a test with MLinExpr._keep_compact 1 and 0 (restored afterwards)."""
    tvp.MLinExpr._keep_compact = request.param
    try:
        yield request.param
    finally:
        tvp.MLinExpr._keep_compact = 1
