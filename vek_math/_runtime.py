"""Runtime support of the native module: the exception raised for internal failures."""


class PanicException(BaseException):
    """The exception raised when native code called from Python panics.

    Like SystemExit, it derives from BaseException so that it typically
    propagates all the way through the stack and makes the interpreter exit.
    """


# Front ends may set this to a callable to watch a search:
# search_progress(level, generated, scored, best_formula, best_error), called
# after every scored level. Exceptions it raises end the search.
search_progress = None
