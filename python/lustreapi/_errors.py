"""LustreError, and its subclasses that are also Python's own OSError
subclasses by errno, as OSError itself picks them (PEP 3151)."""
import errno as _errno


class LustreError(OSError):
    """A failure of the Lustre library or of a command it ran: an OSError
    whose errno says what kind of failure it is, whose strerror is the
    library's message and whose filename, when there is one, names the file
    concerned. For an errno that Python gives an OSError subclass of its
    own, what is raised is the LustreError subclass that is also that class,
    so that both "except LustreError" and, say, "except FileNotFoundError"
    catch it:

        ENOENT                   LustreFileNotFoundError (FileNotFoundError)
        EACCES, EPERM            LustrePermissionError (PermissionError)
        ETIMEDOUT                LustreTimeoutError (TimeoutError)
        EEXIST                   LustreFileExistsError (FileExistsError)
        EISDIR, ENOTDIR          LustreIsADirectoryError, LustreNotADirectoryError
        EAGAIN, EINPROGRESS, ... LustreBlockingIOError (BlockingIOError)
        EINTR                    LustreInterruptedError (InterruptedError)
        EPIPE, ESHUTDOWN         LustreBrokenPipeError (BrokenPipeError)
        ECONNREFUSED, ...        LustreConnectionRefusedError, ... (ConnectionError)
        ECHILD, ESRCH            LustreChildProcessError, LustreProcessLookupError

    The errno of each kind of failure:

    - Lustre's own failure: the errno Lustre returned (ENOENT for a missing
      file, EPERM, ENOTTY for a file outside Lustre, ...).
    - load(): ENOENT when liblustreapi.so cannot be loaded or lacks one of
      the entry points every binding needs (the message names it).
    - A call whose Lustre entry point is not bound (load() not called, or
      Lustre's library lacks that optional entry point): EINVAL, with the
      message "<entry point> is not loaded".
    - A command that ran past its timeout=, or a reading that did: ETIMEDOUT
      (LustreTimeoutError), the command and every process it started killed.
    - A refused argument, refused before anything ran (a value that may not
      go into a command line, a text that is not a FID, a reader name or
      mask the server's Lustre cannot take): EINVAL.
    - A failed command (lctl, lfs or ssh failed, or printed what cannot be
      read): EIO, the message saying which.
    """


def _subclass(builtin):
    return type("Lustre" + builtin.__name__, (LustreError, builtin), {
        "__doc__": f"A LustreError that is also a {builtin.__name__}.",
        "__module__": "lustreapi",
    })


LustreBlockingIOError = _subclass(BlockingIOError)
LustreChildProcessError = _subclass(ChildProcessError)
LustreBrokenPipeError = _subclass(BrokenPipeError)
LustreConnectionAbortedError = _subclass(ConnectionAbortedError)
LustreConnectionRefusedError = _subclass(ConnectionRefusedError)
LustreConnectionResetError = _subclass(ConnectionResetError)
LustreFileExistsError = _subclass(FileExistsError)
LustreFileNotFoundError = _subclass(FileNotFoundError)
LustreInterruptedError = _subclass(InterruptedError)
LustreIsADirectoryError = _subclass(IsADirectoryError)
LustreNotADirectoryError = _subclass(NotADirectoryError)
LustrePermissionError = _subclass(PermissionError)
LustreProcessLookupError = _subclass(ProcessLookupError)
LustreTimeoutError = _subclass(TimeoutError)
LustreError.__module__ = "lustreapi"

SUBCLASSES = (LustreBlockingIOError, LustreChildProcessError, LustreBrokenPipeError, LustreConnectionAbortedError,
              LustreConnectionRefusedError, LustreConnectionResetError, LustreFileExistsError,
              LustreFileNotFoundError, LustreInterruptedError, LustreIsADirectoryError, LustreNotADirectoryError,
              LustrePermissionError, LustreProcessLookupError, LustreTimeoutError)


def _by_errno():
    # OSError(errno, ...) is the subclass Python has for that errno.
    ours = {cls.__bases__[1]: cls for cls in SUBCLASSES}
    found = {code: ours.get(type(OSError(code, ""))) for code in _errno.errorcode}
    return {code: cls for code, cls in found.items() if cls is not None}


# The class raised for each errno; LustreError for the others.
BY_ERRNO = _by_errno()
