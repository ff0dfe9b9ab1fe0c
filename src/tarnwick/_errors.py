"""The failures a caller can tell apart. Each is a ValueError, so code that
caught ValueError before keeps working; CommitInterrupted, a stop, is not."""


class ModelError(ValueError):
    """The model cannot be read as the loader would read it: a damaged file, or members that cannot be determined."""


class UsageError(ValueError):
    """The call itself is wrong: arguments that do not go together, a manifest definition that cannot be used."""


class SigningError(ValueError):
    """The C2PA SDK refused to sign; nothing was written."""


class CommitInterrupted(BaseException):
    """Stopped (Ctrl-C, a signal) while new files were renamed into place:
    `replaced` names the files already replaced, of `total`; the model
    verifies invalid until it is signed again. `cause` is the stop."""

    def __init__(self, replaced, total, cause):
        super().__init__(self.say(replaced, total))
        self.replaced, self.total, self.cause = list(replaced), total, cause

    @staticmethod
    def say(replaced, total):
        shown = ", ".join(replaced[:5]) + (", ..." if len(replaced) > 5 else "")
        return (f"interrupted after replacing {len(replaced)} of {total} files ({shown}): the model verifies "
                "invalid until it is signed again")


class UntrustedModel(ModelError):
    """The model was read and judged, and is not trusted: `verification` holds the verdict."""

    def __init__(self, message, verification=None):
        super().__init__(message)
        self.verification = verification

    def __reduce__(self):
        return type(self), (str(self), self.verification)
