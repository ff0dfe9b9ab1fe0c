"""The failures a caller can tell apart. Each is a ValueError, so code that
caught ValueError before keeps working."""


class ModelError(ValueError):
    """The model cannot be read as the loader would read it: a damaged file, or members that cannot be determined."""


class UsageError(ValueError):
    """The call itself is wrong: arguments that do not go together, a manifest definition that cannot be used."""


class SigningError(ValueError):
    """The C2PA SDK refused to sign; nothing was written."""


class UntrustedModel(ModelError):
    """The model was read and judged, and is not trusted: `verification` holds the verdict."""

    def __init__(self, message, verification=None):
        super().__init__(message)
        self.verification = verification

    def __reduce__(self):
        return type(self), (str(self), self.verification)
