"""The constants class TVX of zudirivi._tvx."""

import pytest

from zudirivi._tvx import TVX

ERRORS = {
    "OUT_OF_MEMORY": 10001,
    "NULL_ARGUMENT": 10002,
    "INVALID_ARGUMENT": 10003,
    "UNKNOWN_ATTRIBUTE": 10004,
    "DATA_NOT_AVAILABLE": 10005,
    "INDEX_OUT_OF_RANGE": 10006,
    "NOT_SUPPORTED": 10007,
    "NOT_IN_MODEL": 10008,
    "OPTIMIZATION_IN_PROGRESS": 10009,
    "FILE_WRITE": 10010,
    "BATCH_NOT_FOUND": 10011,
    "INTERNAL": 10012,
}


@pytest.mark.parametrize(
    "name, value",
    [
        ("LESS_EQUAL", "<"),
        ("GREATER_EQUAL", ">"),
        ("EQUAL", "="),
        ("INFINITY", 1e100),
        ("UNDEFINED", 1e101),
        ("CONTINUOUS", "C"),
        ("BINARY", "B"),
        ("INTEGER", "I"),
        ("INTERNAL", 10012),
        ("BATCH_CREATED", 1),
        ("BATCH_SUBMITTED", 2),
        ("BATCH_ABORTED", 3),
        ("BATCH_FAILED", 4),
        ("BATCH_COMPLETED", 5),
    ],
)
def test_constants(name, value):
    got = getattr(TVX, name)
    assert got == value and type(got) is type(value)


@pytest.mark.parametrize("name, code", ERRORS.items())
def test_error_codes_and_their_mirror(name, code):
    assert getattr(TVX, "ERROR_" + name) == code
    assert getattr(TVX.Error, name) == code


def test_error_codes_are_distinct_and_complete():
    codes = {k: v for k, v in vars(TVX.Error).items() if k.isupper()}
    assert codes == ERRORS
    assert len(set(codes.values())) == len(codes)
