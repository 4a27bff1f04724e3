"""The exceptions raised by ``vantok._vantok`` for refused or unconverged computations."""


class InvalidInputError(ValueError):
    """The input is outside what the operation accepts."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class OutsideValidatedDomainError(ValueError):
    """The input is acceptable in form but outside the range in which results are validated.

    Pass ``allow_unvalidated=True`` to compute anyway.
    """

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class NotConvergedError(ArithmeticError):
    """An iteration did not reach the requested accuracy."""

    def __init__(self, message, achieved, requested):
        super().__init__(message)
        self.message = message
        self.achieved = achieved
        self.requested = requested

    def __reduce__(self):
        # Made again from all three arguments when it is unpickled (a worker process
        # sending it back) or copied; the base class would pass the message alone.
        return type(self), (self.message, self.achieved, self.requested), self.__dict__
