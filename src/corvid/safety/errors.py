"""The exception raised when user input fails a safety check."""


class SafetyError(ValueError):
    """User input was rejected by one of corvid's safety checks.

    Raised with one message text, which always begins "corvid safety check: ".
    A subclass of ValueError, so callers that guard against bad input in general
    catch it too.
    """
