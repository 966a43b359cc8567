"""Constants of the solver library: senses, bounds, variable types, error
codes and batch statuses."""


class TVX:
    """Constants of the solver library."""

    # Constraint senses.
    LESS_EQUAL = "<"
    GREATER_EQUAL = ">"
    EQUAL = "="

    # Bound that the library reads as infinite, and the value of an attribute
    # that has no value.
    INFINITY = 1e100
    UNDEFINED = 1e101

    # Variable types.
    CONTINUOUS = "C"
    BINARY = "B"
    INTEGER = "I"

    # Error codes of the library.
    ERROR_OUT_OF_MEMORY = 10001
    ERROR_NULL_ARGUMENT = 10002
    ERROR_INVALID_ARGUMENT = 10003
    ERROR_UNKNOWN_ATTRIBUTE = 10004
    ERROR_DATA_NOT_AVAILABLE = 10005
    ERROR_INDEX_OUT_OF_RANGE = 10006
    ERROR_NOT_SUPPORTED = 10007
    ERROR_NOT_IN_MODEL = 10008
    ERROR_OPTIMIZATION_IN_PROGRESS = 10009
    ERROR_FILE_WRITE = 10010
    ERROR_BATCH_NOT_FOUND = 10011
    ERROR_INTERNAL = 10012
    INTERNAL = 10012

    class Error:
        """The error codes, without their prefix."""

        OUT_OF_MEMORY = 10001
        NULL_ARGUMENT = 10002
        INVALID_ARGUMENT = 10003
        UNKNOWN_ATTRIBUTE = 10004
        DATA_NOT_AVAILABLE = 10005
        INDEX_OUT_OF_RANGE = 10006
        NOT_SUPPORTED = 10007
        NOT_IN_MODEL = 10008
        OPTIMIZATION_IN_PROGRESS = 10009
        FILE_WRITE = 10010
        BATCH_NOT_FOUND = 10011
        INTERNAL = 10012

    # Statuses of a batch request.
    BATCH_CREATED = 1
    BATCH_SUBMITTED = 2
    BATCH_ABORTED = 3
    BATCH_FAILED = 4
    BATCH_COMPLETED = 5
