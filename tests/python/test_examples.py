"""The examples of examples/python, run as a user runs them, against the stand-in."""
import os
import subprocess
import sys

import lustreapi as L
from lustreapi import HsmAction, HsmStates

EXAMPLES = os.path.join(os.environ["LUSTREAPI_SOURCE_DIR"], "examples", "python")


def run(script, *args):
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, script), *map(str, args)], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_policy_and_copytool(standin):
    old, new, big = (os.path.join(standin.mnt, n) for n in ("old", "new", "big"))
    for path, size in ((old, 10), (new, 10), (big, 100000)):
        with open(path, "wb") as f:
            f.write(os.urandom(size))
    for path in (old, big):
        os.utime(path, (0, 0))
    out = run("policy.py", standin.mnt, "--days", 30, "--release-over", 4096)
    assert out.splitlines() == ["archive: 2/2 files requested", "2 to archive, 0 to release, 0 failed"]
    assert run("copytool.py", standin.mnt, standin.archive, "--count", 2).endswith("2 actions served\n")
    assert L.hsm_state(old).states == HsmStates.EXISTS | HsmStates.ARCHIVED
    out = run("policy.py", standin.mnt, "--days", 30, "--release-over", 4096)
    assert out.splitlines()[-1] == "0 to archive, 1 to release, 0 failed"
    assert L.hsm_state(big).states & HsmStates.RELEASED
    with open(os.path.join(standin.archive, str(L.path2fid(big)).strip("[]")), "rb") as f:
        archived = f.read()
    assert L.hsm_request([big], HsmAction.RESTORE) == [0]
    run("copytool.py", standin.mnt, standin.archive, "--idle", 1)
    with open(big, "rb") as f:
        assert f.read() == archived and len(archived) == 100000


def test_changelog_follower(standin):
    reader = L.register_changelog("mds1", "lustre-MDT0000", "lustre", "root")
    standin.sim("changelog-append", "lustre-MDT0000", "CREAT", "--name", "a b", "--time", "1700000000", "--count", 2)
    out = run("changelog_follower.py", "lustre-MDT0000", reader, "--once")
    lines = out.splitlines()
    assert len(lines) == 2 and all(line.startswith(f"{i} CREAT 2023-11-14 22:13:20 [") and line.endswith("] a b")
                                   for i, line in enumerate(lines, 1))
    assert [(u.id, u.index) for u in L.changelog_users("mds1", "lustre-MDT0000", "lustre", "root")[1]] == [(reader, 2)]
