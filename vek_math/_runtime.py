"""Runtime support of the native module: the exception raised for internal failures."""


class PanicException(BaseException):
    """The exception raised when native code called from Python panics.

    Like SystemExit, it derives from BaseException so that it typically
    propagates all the way through the stack and makes the interpreter exit.
    """
