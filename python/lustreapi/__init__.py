"""Lustre's HSM, file identifiers and changelogs from Python.

A binding of libLustreAPI: every failure raises LustreError (an OSError
with errno and the library's message), calls that may block release the
GIL, and streams are iterators and context managers.

    import lustreapi
    lustreapi.load()                                  # bind liblustreapi.so
    fid = lustreapi.path2fid("/mnt/lustre/file")
    lustreapi.fid2path("/mnt/lustre", fid)            # every path of the file
    if not lustreapi.hsm_state(path).states & lustreapi.HsmStates.ARCHIVED:
        lustreapi.hsm_request([path], lustreapi.HsmAction.ARCHIVE)

Identifiers: Fid, path2fid, fid2path, search_fsname, mdt_index.
HSM: hsm_state, hsm_set_state, hsm_current_action, hsm_request.
Changelogs: ChangelogReader, parse_changelog_record, read_changelogs,
clear_changelog, mdt_list, register_changelog, deregister_changelog,
changelog_current_index, changelog_users (the calls that run commands
take timeout= in seconds).
Copytools: Copytool, ActionList, ActionItem, CopyAction.

The library's log lines go to the logging logger "lustreapi": the library
writes them at its level 0, what went wrong included, and they arrive as
INFO; only the lines of an HSM request whose file could not be opened or
whose request could not be allocated are written at level -1 and arrive as
WARNING. A failure itself is raised as LustreError, whatever is logged.
"""
from ._enums import CopytoolAction, HsmAction, HsmStates, ProgressFlags, ProgressState
from ._lustreapi import (
    ActionItem,
    ActionList,
    ChangelogReader,
    ChangelogRecord,
    ChangelogUser,
    CopyAction,
    Copytool,
    Fid,
    HsmCurrentAction,
    HsmState,
    LustreError,
    bound_entry_points,
    changelog_current_index,
    changelog_users,
    clear_changelog,
    deregister_changelog,
    fid2path,
    hsm_current_action,
    hsm_request,
    hsm_set_state,
    hsm_state,
    load,
    mdt_index,
    mdt_list,
    parse_changelog_record,
    path2fid,
    read_changelogs,
    register_changelog,
    search_fsname,
)

for _enum in (CopytoolAction, HsmAction, HsmStates, ProgressFlags, ProgressState):
    _enum.__module__ = __name__
del _enum

__all__ = [
    "ActionItem", "ActionList", "ChangelogReader", "ChangelogRecord", "ChangelogUser", "CopyAction", "Copytool", "CopytoolAction",
    "Fid", "HsmAction", "HsmCurrentAction", "HsmState", "HsmStates", "LustreError", "ProgressFlags",
    "ProgressState", "bound_entry_points", "changelog_current_index", "changelog_users", "clear_changelog",
    "deregister_changelog", "fid2path", "hsm_current_action", "hsm_request", "hsm_set_state", "hsm_state",
    "load", "mdt_index", "mdt_list", "parse_changelog_record", "path2fid", "read_changelogs",
    "register_changelog", "search_fsname",
]
