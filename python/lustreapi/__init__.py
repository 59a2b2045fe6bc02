"""Lustre's HSM, file identifiers and changelogs from Python.

A binding of libLustreAPI: every failure raises LustreError (an OSError
with errno and the library's message; for ENOENT, EPERM, ETIMEDOUT and the
other errnos Python has an OSError subclass for, a LustreError subclass
that is also that class, such as LustreFileNotFoundError), calls that may
block release the GIL, and streams are iterators and context managers.

    import lustreapi
    lustreapi.load()                                  # bind liblustreapi.so
    fid = lustreapi.path2fid("/mnt/lustre/file")
    lustreapi.fid2path("/mnt/lustre", fid)            # every path of the file
    if not lustreapi.hsm_state(path).states & lustreapi.HsmStates.ARCHIVED:
        lustreapi.hsm_request([path], lustreapi.HsmAction.ARCHIVE)

Identifiers: Fid, path2fid, fid2path, search_fsname, mdt_index.
HSM: hsm_state, hsm_states, hsm_set_state, hsm_current_action, hsm_request
(hsm_states and hsm_request take progress=, a callable such as a tqdm
bar's update).
Changelogs: ChangelogReader, ChangelogRecord, RecordType,
parse_changelog_record, read_changelogs, clear_changelog, mdt_list,
register_changelog, deregister_changelog, changelog_current_index,
changelog_users (the calls that run commands take timeout= in seconds).
Copytools: Copytool, ActionList, ActionItem, CopyAction.
Results that are plain records are named tuples: HsmState,
HsmCurrentAction, ChangelogUser, Mdt. LUSTRE_EOF is the length of an extent
that runs to the end of the file.

The library's log lines go to the logging logger "lustreapi": the library
writes them at its level 0, what went wrong included, and they arrive as
INFO; only the lines of an HSM request whose file could not be opened or
whose request could not be allocated are written at level -1 and arrive as
WARNING. A failure itself is raised as LustreError, whatever is logged.
"""
from ._errors import (
    LustreBlockingIOError,
    LustreBrokenPipeError,
    LustreChildProcessError,
    LustreConnectionAbortedError,
    LustreConnectionRefusedError,
    LustreConnectionResetError,
    LustreError,
    LustreFileExistsError,
    LustreFileNotFoundError,
    LustreInterruptedError,
    LustreIsADirectoryError,
    LustreNotADirectoryError,
    LustrePermissionError,
    LustreProcessLookupError,
    LustreTimeoutError,
)
from ._enums import CopytoolAction, HsmAction, HsmStates, ProgressFlags, ProgressState, RecordType
from ._results import ChangelogUser, HsmCurrentAction, HsmState, Mdt
from . import _lustreapi
from ._lustreapi import ActionItem, ActionList, ChangelogReader, ChangelogRecord, CopyAction, Copytool, Fid
from ._public import public_function as _public

# The length of an extent that runs to the end of the file (Lustre's
# LUSTRE_EOF): ActionItem.length of a whole-file action, and what
# CopyAction.progress() and end() take for "the rest of the file".
LUSTRE_EOF = 0xFFFFFFFFFFFFFFFF

_FUNCTIONS = (
    "bound_entry_points", "changelog_current_index", "changelog_users", "clear_changelog", "deregister_changelog",
    "fid2path", "hsm_current_action", "hsm_request", "hsm_set_state", "hsm_state", "hsm_states", "load",
    "mdt_index", "mdt_list", "parse_changelog_record", "path2fid", "read_changelogs", "register_changelog",
    "search_fsname",
)
# The extension's functions as the package's own, for help() and inspect.
for _name in _FUNCTIONS:
    globals()[_name] = _public(getattr(_lustreapi, _name))

# The static method too: pybind11's is a function bound to a capsule.
_at_reader = _public(ChangelogReader.at_reader)
_at_reader.__qualname__ = "ChangelogReader.at_reader"
ChangelogReader.at_reader = staticmethod(_at_reader)
del _at_reader

for _enum in (CopytoolAction, HsmAction, HsmStates, ProgressFlags, ProgressState, RecordType):
    _enum.__module__ = __name__
for _result in (ChangelogUser, HsmCurrentAction, HsmState, Mdt):
    _result.__module__ = __name__
del _name, _enum, _result

# LustreError's subclasses by errno (LustreFileNotFoundError, ...) are the
# package's too, but are left out of star imports and help(lustreapi):
# LustreError's documentation names them all, and they are caught as
# Python's own classes (FileNotFoundError, ...) or as LustreError.
__all__ = [
    "ActionItem", "ActionList", "ChangelogReader", "ChangelogRecord", "ChangelogUser", "CopyAction", "Copytool",
    "CopytoolAction", "Fid", "HsmAction", "HsmCurrentAction", "HsmState", "HsmStates", "LUSTRE_EOF", "LustreError",
    "Mdt", "ProgressFlags", "ProgressState", "RecordType", *_FUNCTIONS,
]
