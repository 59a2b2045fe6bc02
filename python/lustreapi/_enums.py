"""The enums of lustreapi, with Lustre's values from the compiled module."""
import enum

from ._lustreapi import CONSTANTS as _C


class HsmAction(enum.IntEnum):
    """An HSM request's action (Lustre's hsm_user_action)."""

    NONE = _C["HUA_NONE"]
    ARCHIVE = _C["HUA_ARCHIVE"]
    RESTORE = _C["HUA_RESTORE"]
    RELEASE = _C["HUA_RELEASE"]
    REMOVE = _C["HUA_REMOVE"]
    CANCEL = _C["HUA_CANCEL"]


class CopytoolAction(enum.IntEnum):
    """What a copytool is asked to do (Lustre's hsm_copytool_action)."""

    NONE = _C["HSMA_NONE"]
    ARCHIVE = _C["HSMA_ARCHIVE"]
    RESTORE = _C["HSMA_RESTORE"]
    REMOVE = _C["HSMA_REMOVE"]
    CANCEL = _C["HSMA_CANCEL"]


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


class ProgressState(enum.IntEnum):
    """Where a file's HSM action stands (Lustre's hsm_progress_states)."""

    NONE = _C["HPS_NONE"]
    WAITING = _C["HPS_WAITING"]
    RUNNING = _C["HPS_RUNNING"]
    DONE = _C["HPS_DONE"]


class ProgressFlags(enum.IntFlag):
    """Flags of CopyAction.progress() and end()."""

    NONE = 0
    COMPLETED = _C["HP_FLAG_COMPLETED"]
    RETRY = _C["HP_FLAG_RETRY"]
