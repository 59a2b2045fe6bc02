"""The plain records lustreapi's calls return: named tuples, whose fields
are read by name (state.archive_id) or by index (state[1]), unpacked, and
compared and hashed as tuples."""
from typing import NamedTuple

from ._enums import HsmAction, HsmStates, ProgressState


def _fields(cls, **docs):
    for name, doc in docs.items():
        getattr(cls, name).__doc__ = doc
    return cls


class HsmState(NamedTuple):
    """The HSM state of a file, from hsm_state() and hsm_states()."""

    states: HsmStates
    archive_id: int


_fields(HsmState, states="The HsmStates flags.", archive_id="The archive the file belongs to (0: none yet).")


class HsmCurrentAction(NamedTuple):
    """The HSM action queued or running on a file, from hsm_current_action()."""

    state: ProgressState
    action: HsmAction
    offset: int
    length: int


_fields(HsmCurrentAction,
        state="ProgressState.WAITING while queued, RUNNING while a copytool copies.",
        action="The HsmAction; HsmAction.NONE when nothing is under way.",
        offset="Start of the extent (copied so far, while RUNNING).",
        length="Length of the extent (LUSTRE_EOF: to the end of the file).")


class ChangelogUser(NamedTuple):
    """One changelog reader of an MDT, from changelog_users()."""

    id: str
    index: int
    idle_seconds: int
    mask: str
    name: str


_fields(ChangelogUser,
        id='"cl1", "cl2-watcher"',
        index="The last record it acknowledged.",
        idle_seconds="Seconds since it last acknowledged; -1 before Lustre 2.11.",
        mask='"MARK,CREAT,..." where the listing shows one (2.15 on), else "".',
        name='"watcher" of "cl2-watcher"; "" for a reader without a name.')


class Mdt(NamedTuple):
    """One MDT of a file system and the server that serves it, from mdt_list()."""

    name: str
    server: str


_fields(Mdt, name='The MDT\'s device name, "lustre-MDT0000".', server='Its server\'s address, "192.168.0.1".')
