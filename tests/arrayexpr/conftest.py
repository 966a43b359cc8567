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
