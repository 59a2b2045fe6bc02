"""The enums of lustreapi, with Lustre's values from the compiled module.

Each is an int (IntEnum or IntFlag): members compare equal to Lustre's
numbers and go wherever an int goes. str() and format() name the members,
as Python's own enums do: str(HsmStates.EXISTS | HsmStates.ARCHIVED) is
"HsmStates.EXISTS|ARCHIVED"; with a format of its own, format() formats
the number (f"{states:#x}" is "0x9")."""
import enum

from ._lustreapi import CONSTANTS as _C


def _format(member, format_spec):
    return str(member) if not format_spec else int.__format__(member, format_spec)


def _named(cls):
    """cls, with str() and format() naming its members."""
    cls.__str__ = enum.Flag.__str__ if issubclass(cls, enum.Flag) else enum.Enum.__str__
    cls.__format__ = _format
    return cls


@_named
class HsmAction(enum.IntEnum):
    """An HSM request's action (Lustre's hsm_user_action)."""

    NONE = _C["HUA_NONE"]
    ARCHIVE = _C["HUA_ARCHIVE"]
    RESTORE = _C["HUA_RESTORE"]
    RELEASE = _C["HUA_RELEASE"]
    REMOVE = _C["HUA_REMOVE"]
    CANCEL = _C["HUA_CANCEL"]


@_named
class CopytoolAction(enum.IntEnum):
    """What a copytool is asked to do (Lustre's hsm_copytool_action)."""

    NONE = _C["HSMA_NONE"]
    ARCHIVE = _C["HSMA_ARCHIVE"]
    RESTORE = _C["HSMA_RESTORE"]
    REMOVE = _C["HSMA_REMOVE"]
    CANCEL = _C["HSMA_CANCEL"]


@_named
class HsmStates(enum.IntFlag):
    """The HSM state flags of a file (Lustre's hsm_states)."""

    NONE = _C["HS_NONE"]
    EXISTS = _C["HS_EXISTS"]
    DIRTY = _C["HS_DIRTY"]
    RELEASED = _C["HS_RELEASED"]
    ARCHIVED = _C["HS_ARCHIVED"]
    NORELEASE = _C["HS_NORELEASE"]
    NOARCHIVE = _C["HS_NOARCHIVE"]
    LOST = _C["HS_LOST"]


@_named
class ProgressState(enum.IntEnum):
    """Where a file's HSM action stands (Lustre's hsm_progress_states)."""

    NONE = _C["HPS_NONE"]
    WAITING = _C["HPS_WAITING"]
    RUNNING = _C["HPS_RUNNING"]
    DONE = _C["HPS_DONE"]


@_named
class ProgressFlags(enum.IntFlag):
    """Flags of CopyAction.progress() and end()."""

    NONE = 0
    COMPLETED = _C["HP_FLAG_COMPLETED"]
    RETRY = _C["HP_FLAG_RETRY"]


# Lustre's changelog record types by the names "lfs changelog" prints
# (changelog_type2str), numbered as Lustre numbers them: MARK 0, CREAT 1,
# ..., RENME 8, ..., CLOSE 11, ...
RecordType = _named(enum.IntEnum("RecordType", [(name, number) for number, name in enumerate(_C["RECORD_TYPES"])],
                                  module=__name__))
RecordType.__doc__ = """A changelog record's type, named as "lfs changelog" prints it (CREAT,
UNLNK, RENME, CLOSE, ...), with Lustre's number (ChangelogRecord.type)."""
