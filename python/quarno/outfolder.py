"""The output folder of a fit or a sampling, held by one at a time."""

import fcntl
import os

from .errors import FitError


class FolderLock:
    """An advisory lock on an output folder, created if need be.

    A second fit or sampling into the same folder is refused instead of
    mixing its runs and results. The lock goes with the process at the
    latest. Usable as a context manager.

    Parameters
    ----------
    folder : Path
        The output folder.
    kind : str
        What holds it ("fit", "sampling"), for the message of a second one.
    """

    def __init__(self, folder, kind):
        self.folder, self.kind, self.fd = folder, kind, None

    def acquire(self):
        """Create the folder and lock it; FitError when it cannot be used or
        another process holds it."""
        try:
            self.folder.mkdir(parents=True, exist_ok=True)
            fd = os.open(self.folder, os.O_RDONLY | os.O_DIRECTORY)
        except OSError as e:
            raise FitError(f"{self.folder}: cannot use it as the output folder "
                           f"({e.strerror})") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            raise FitError(f"{self.folder}: another {self.kind} is using this output "
                           "folder") from None
        self.fd = fd

    def release(self):
        """Let the folder go (nothing when not held)."""
        fd, self.fd = self.fd, None
        if fd is not None:
            os.close(fd)

    def __enter__(self):
        self.acquire()
        return self

    def __exit__(self, *exc):
        self.release()
