"""What the binding adds to the library: conversions, errors, the GIL,
iteration and context managers, progress, and how it reads in help()."""
import datetime
import errno
import inspect
import os
import pathlib
import pickle
import select
import subprocess
import sys
import threading
import time

import pytest

import lustreapi as L
from lustreapi import HsmAction, HsmStates

FID_TEXTS = [  # text, (seq, oid, ver)
    ("[0x200000400:0x1c:0x0]", (0x200000400, 0x1C, 0)),
    ("0x200000400:0x1c:0x0", (0x200000400, 0x1C, 0)),
    ("[8589935616:28:1]", (0x200000400, 28, 1)),
    ("[010:010:0]", (8, 8, 0)),
    ("[0xfffffffffffffffe:0xffffffff:0xffffffff]", (2**64 - 2, 2**32 - 1, 2**32 - 1)),
    ("[0:0x0:0x0]", (0, 0, 0)),  # the zero FID as Lustre's tools print it
]
# As Lustre's llapi_fid_parse reads a FID, the whole text (data/fid_parse.txt
# of the C++ tests has the reasons).
NOT_FIDS = ["", "garbage", "[0x1:0x2]", "[abc:0x1:0x0]", "[0x10000000000000000:0x1:0x0]", "[0xzz:0x1:0x0]",
            "[0x1:0x1:0x0:0x5]", "[0x1:0x2:0x3] trailing", "[1:2:3", "[0xffffffffffffffff:0x1:0x0]"]


@pytest.mark.parametrize("text,numbers", FID_TEXTS)
def test_fid_from_text(text, numbers):
    fid = L.Fid(text)
    assert (fid.seq, fid.oid, fid.ver) == numbers
    assert L.Fid(*numbers) == fid and hash(L.Fid(*numbers)) == hash(fid)
    assert L.Fid(str(fid)) == fid and eval(repr(fid), {"Fid": L.Fid}) == fid
    assert pickle.loads(pickle.dumps(fid)) == fid


@pytest.mark.parametrize("text", NOT_FIDS)
def test_not_a_fid(text):
    with pytest.raises(ValueError, match="is not a FID: "):
        L.Fid(text)


def test_fid_order_and_limits():
    assert sorted([L.Fid(2, 0), L.Fid(1, 5, 1), L.Fid(1, 5)]) == [L.Fid(1, 5), L.Fid(1, 5, 1), L.Fid(2, 0)]
    assert len({L.Fid(1, 2), L.Fid("[0x1:0x2:0x0]")}) == 1
    with pytest.raises(TypeError):
        L.Fid(1, 2**32)


def test_errors_are_oserrors(standin):
    missing = os.path.join(standin.mnt, "missing")
    with pytest.raises(FileNotFoundError) as e:
        L.hsm_state(missing)
    assert isinstance(e.value, L.LustreError) and (e.value.errno, e.value.filename) == (errno.ENOENT, missing)
    assert type(e.value) is L.LustreFileNotFoundError
    for path in (missing + "\udcff", os.fsencode(missing), pathlib.Path(missing)):  # as os.fsdecode gives it back
        with pytest.raises(L.LustreError) as e:
            L.hsm_state(path)
        assert e.value.filename == os.fsdecode(path)
    with pytest.raises(L.LustreError) as e:
        L.register_changelog("mds1;reboot", "lustre-MDT0000", "lustre", "root")
    assert e.value.errno == errno.EINVAL and type(e.value) is L.LustreError
    assert e.value.strerror == "The host \"mds1;reboot\" is refused: it holds the character ';'"
    with pytest.raises(L.LustreError) as e:  # a command that fails: ssh refuses the login
        L.register_changelog("mds1", "lustre-MDT0000", "lustre", "nobody")
    assert e.value.errno == errno.EIO and "Command ssh nobody@mds1" in e.value.strerror
    with pytest.raises(L.LustreError, match="Cannot read the changelog record"):
        L.parse_changelog_record("not a record")
    with pytest.raises(ValueError):
        L.mdt_list("lustre", timeout=-1)


# What LustreError's documentation says each kind of binding failure raises.
LIBRARIES = [  # the stand-in variant's directory ("" for none) -> what each call raises or returns
    ("", ["FileNotFoundError 2 Load(liblustreapi.so) failed: dlopen(liblustreapi.so",
          "LustreError 22 llapi_hsm_state_get is not loaded",
          "LustreError 22 llapi_hsm_user_request_alloc is not loaded",
          "LustreError 22 llapi_hsm_state_get is not loaded", "([], [])"]),
    # A library without one of the fifteen entry points every binding needs.
    ("no-action-begin", ["FileNotFoundError 2 GetAddres(llapi_hsm_action_begin) failed",
                         "LustreError 22 llapi_hsm_state_get is not loaded",
                         "LustreError 22 llapi_hsm_user_request_alloc is not loaded",
                         "LustreError 22 llapi_hsm_state_get is not loaded", "([], [])"]),
    # Binding succeeds; the optional state calls are missing.
    ("no-hsm-state", ["None", "LustreError 22 llapi_hsm_state_get is not loaded", "[-2]",
                      "LustreError 22 llapi_hsm_state_get is not loaded", "([], [])"]),
]


@pytest.mark.parametrize("library,expected", LIBRARIES)
def test_binding_failures(library, expected):
    script = """if True:
        import lustreapi as L
        calls = (L.load, lambda: L.hsm_state("/"), lambda: L.hsm_request(["/x"], L.HsmAction.ARCHIVE),
                 lambda: L.hsm_states(["/x"]), lambda: (L.hsm_request([], 10), L.hsm_states([])))
        for call in calls:
            try:
                print(call())
            except L.LustreError as e:
                kind = "FileNotFoundError" if isinstance(e, FileNotFoundError) else type(e).__name__
                print(kind, e.errno, e.strerror)"""
    full = os.environ["LD_LIBRARY_PATH"].split(os.pathsep)[0]
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(os.path.dirname(full), library) if library else "")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    assert len(lines) == len(expected) and lines[0].startswith(expected[0]) and lines[1:] == expected[1:], out


def test_paths_fids_and_states(standin):
    mnt = pathlib.Path(standin.mnt)
    (mnt / "dir").mkdir()
    (mnt / "dir/a").write_text("data")
    os.link(mnt / "dir/a", mnt / "b")
    fid = L.path2fid(mnt / "dir/a")
    assert L.fid2path(mnt, str(fid)) == [str(mnt / "b"), str(mnt / "dir/a")]
    # A path inside the mount asks the same file system: the paths are still below its mount point.
    assert L.fid2path(mnt / "dir", str(fid)) == [str(mnt / "b"), str(mnt / "dir/a")]
    with pytest.raises(L.LustreError) as raised:
        L.fid2path("lustre", fid)
    assert raised.value.errno == errno.ENOENT and "name of a file system" in str(raised.value)
    assert L.search_fsname(mnt) == "lustre"
    fd = os.open(mnt, os.O_RDONLY)
    try:
        assert L.mdt_index(fd, fid) == L.mdt_index(str(mnt), fid) in (0, 1)
    finally:
        os.close(fd)
    L.hsm_set_state(mnt / "b", set=HsmStates.NORELEASE)
    assert L.hsm_state(mnt / "dir/a") == (HsmStates.NORELEASE, 0) == L.HsmState(states=HsmStates.NORELEASE, archive_id=0)
    assert L.hsm_request([mnt / "b", mnt / "nope"], HsmAction.ARCHIVE) == [0, -errno.ENOENT]
    action = L.hsm_current_action(mnt / "b")
    assert (action.action, action.state) == (HsmAction.ARCHIVE, L.ProgressState.WAITING) == action[1::-1]
    assert action.length == L.LUSTRE_EOF == 2**64 - 1


def test_changelog_records(standin):
    line = ("7 08RENME 04:27:54.551053189 2024.08.20 0x1 t=[0x200000400:0x5:0x0] j=mv.0 ef=0xf u=500:501 "
            "nid=0@lo p=[0x200000007:0x1:0x0] new name s=[0x200000400:0x6:0x0] sp=[0x200000400:0x2:0x0] old name")
    r = L.parse_changelog_record(line)
    assert (r.index, r.type, r.type_name, r.flags, r.job_id, r.uid, r.gid) == (7, 8, "RENME", 1, "mv.0", 500, 501)
    assert r.type is L.RecordType.RENME and L.RecordType[r.type_name] is r.type and str(r.type) == "RecordType.RENME"
    # A type Lustre's header does not name stays its number.
    newer = L.parse_changelog_record("9 77NEWER 04:27:54.551053189 2024.08.20 0x0 t=[0x200000400:0x5:0x0]")
    assert newer.type == 77 and type(newer.type) is int and newer.type_name == "NEWER"
    assert (r.name, r.source_name, r.source, r.source_parent) == ("new name", "old name", L.Fid(0x200000400, 6),
                                                                   L.Fid(0x200000400, 2))
    assert r.time == datetime.datetime(2024, 8, 20, 4, 27, 54, 551053, tzinfo=datetime.timezone.utc)
    reader = L.register_changelog("mds1", "lustre-MDT0000", "lustre", "root", timeout=30)
    standin.sim("changelog-append", "lustre-MDT0000", "CREAT", "--name", "f", "--count", 3)
    assert [r.index for r in L.read_changelogs("lustre-MDT0000", 2)] == [2, 3]
    L.clear_changelog("lustre-MDT0000", reader, 2)
    current, users = L.changelog_users("mds1", "lustre-MDT0000", "lustre", "root")
    assert (current, [(u.id, u.index) for u in users]) == (3, [(reader, 2)])
    assert isinstance(users[0], L.ChangelogUser) and users[0][:2] == (reader, 2)
    mdts = L.mdt_list("lustre")
    assert mdts[0] == ("lustre-MDT0000", "192.168.0.1") and mdts[0].server == mdts[0][1] == "192.168.0.1"
    assert L.changelog_current_index("mds1", "lustre-MDT0000", "lustre", "root") == 3


def test_changelog_reader(standin):
    standin.sim("changelog-append", "lustre-MDT0000", "CREAT", "--name", "f", "--count", 3)
    with L.ChangelogReader("lustre-MDT0000", start=2) as reader:
        assert [r.index for r in reader] == [2, 3] and reader.next() is None
    reader = L.ChangelogReader("lustre-MDT0000", follow=True)
    assert [reader.next(timeout=1).index for _ in range(3)] == [1, 2, 3]
    start = time.monotonic()
    assert reader.next(timeout=0.3) is None and time.monotonic() - start >= 0.3
    assert select.select([reader], [], [], 0.1)[0] == []
    standin.sim("changelog-append", "lustre-MDT0000", "UNLNK", "--name", "f")
    assert select.select([reader], [], [], 60)[0] == [reader] and reader.next(timeout=0).type_name == "UNLNK"
    # A timeout beyond any wait waits as None does.
    threading.Timer(0.3, standin.sim, ("changelog-append", "lustre-MDT0000", "MKDIR", "--name", "d")).start()
    assert reader.next(timeout=1e13).type_name == "MKDIR"
    threading.Timer(0.3, reader.close).start()
    assert list(reader) == []  # waits until another thread closes it
    with pytest.raises(ValueError):
        reader.fileno()


def test_named_readers_and_resume(standin):
    watcher = L.register_changelog("mds1", "lustre-MDT0000", "lustre", "root", name="watcher", mask="creat,unlnk")
    assert watcher == "cl1-watcher"
    with pytest.raises(L.LustreError) as e:  # refused before anything runs
        L.register_changelog("mds1", "lustre-MDT0000", "lustre", "root", name="two words")
    assert e.value.errno == errno.EINVAL
    with pytest.raises(L.LustreError) as e:  # the MDT refuses a name taken already
        L.register_changelog("mds1", "lustre-MDT0000", "lustre", "root", name="watcher")
    assert e.value.errno == errno.EIO and "User exists" in e.value.strerror
    _, users = L.changelog_users("mds1", "lustre-MDT0000", "lustre", "root")
    assert [(u.id, u.name, u.mask) for u in users] == [("cl1-watcher", "watcher", "MARK,CREAT,UNLNK")]
    standin.sim("changelog-append", "lustre-MDT0000", "CREAT", "--name", "f", "--count", 4)
    with L.ChangelogReader.at_reader("mds1", "lustre-MDT0000", "lustre", "root", watcher) as reader:
        assert [reader.next().index for _ in range(3)] == [1, 2, 3]
    L.clear_changelog("lustre-MDT0000", watcher, 2)  # 3 was read, never acknowledged
    with L.ChangelogReader.at_reader("mds1", "lustre-MDT0000", "lustre", "root", watcher, timeout=30) as reader:
        assert [r.index for r in reader] == [3, 4]
    assert "PyCapsule" not in L.ChangelogReader.at_reader.__qualname__


def test_time_limit_and_gil(standin, tmp_path, monkeypatch):
    slow = tmp_path / "bin"
    slow.mkdir()
    started = tmp_path / "started"
    (slow / "lctl").write_text(f"#!/bin/sh\n: > {started}\nsleep 10\n")
    (slow / "lctl").chmod(0o755)
    monkeypatch.setenv("PATH", f"{slow}{os.pathsep}{os.environ['PATH']}")
    outcome = []

    def call():
        try:
            L.mdt_list("lustre", timeout=1)
        except TimeoutError as e:
            outcome.append((e.errno, isinstance(e, L.LustreError)))

    worker = threading.Thread(target=call)
    worker.start()
    while worker.is_alive() and not started.exists():
        time.sleep(0.01)
    # This thread runs while the call waits for its command only if the call
    # has released the GIL; the limit, not the command, then ends the call.
    in_call = worker.is_alive()
    worker.join()
    assert in_call and outcome == [(errno.ETIMEDOUT, True)]


def test_copytool(standin):
    mnt = pathlib.Path(standin.mnt)
    for name in "abc":
        (mnt / name).write_text(name * 10)
    L.hsm_request([mnt / "a", mnt / "b"], HsmAction.ARCHIVE)
    with L.Copytool(mnt, [1]) as ct:
        items = list(ct.receive(timeout=5))
        assert [i.action for i in items] == [L.CopytoolAction.ARCHIVE] * 2
        with ct.begin(items[0]) as done:
            fd = done.data_fd()
            assert os.read(fd, 100) == b"aaaaaaaaaa" and done.data_fid() == items[0].fid
            os.close(fd)
        with pytest.raises(PermissionError):
            with ct.begin(items[1]):
                raise PermissionError(errno.EACCES, "denied")
        assert done.ended and ct.receive(timeout=0.1) is None
        L.hsm_request([mnt / "c"], HsmAction.ARCHIVE)
        left_open = ct.begin(ct.receive(timeout=5).items[0])
    assert ct.closed and left_open.ended
    assert [L.hsm_state(mnt / n).states for n in "abc"] == [HsmStates.EXISTS | HsmStates.ARCHIVED, 0, 0]
    ct = L.Copytool(mnt)
    threading.Timer(0.3, ct.close).start()
    assert list(ct) == []  # closing from another thread ends the iteration


def test_log_lines_reach_logging(standin, caplog):
    caplog.set_level("INFO", logger="lustreapi")
    assert L.hsm_request([os.path.join(standin.mnt, "none")], HsmAction.ARCHIVE) == [-errno.ENOENT]
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("INFO", "HSMRequestFiles(archive, 1 files, archive 0) in 0 requests, 1 failed")]


class Bar:
    """What a progress display (a tqdm bar) is told: update(n) per call."""

    def __init__(self):
        self.updates = []

    def update(self, n):
        self.updates.append(n)


def test_progress_of_many_files(standin):
    mnt = pathlib.Path(standin.mnt)
    paths = []
    for i in range(60):
        (mnt / f"f{i}").write_text("x")
        paths.append(mnt / f"f{i}")
    paths[10:10] = [mnt / "missing"]
    # 52 files fit a request: two requests, the missing file counted in the first call.
    bar = Bar()
    results = L.hsm_request(paths, HsmAction.ARCHIVE, progress=bar.update)
    assert bar.updates == [53, 8] and results == [0] * 10 + [-errno.ENOENT] + [0] * 50
    bar = Bar()
    states = L.hsm_states(paths[8:12], progress=bar.update)
    assert bar.updates == [1, 1, 1, 1]
    assert [type(s).__name__ for s in states] == ["HsmState", "HsmState", "LustreFileNotFoundError", "HsmState"]
    assert states[0] == L.hsm_state(paths[8]) and (states[2].errno, states[2].filename) == (errno.ENOENT,
                                                                                              str(paths[10]))
    # A progress that raises is not called again; its exception comes when the work is done.
    calls = []

    def fails(n):
        calls.append(n)
        raise KeyError("display gone")

    for path in paths:
        if path.exists():
            path.unlink()
            path.write_text("new")
    with pytest.raises(KeyError, match="display gone"):
        L.hsm_request(paths, HsmAction.ARCHIVE, progress=fails)
    assert calls == [53] and L.hsm_current_action(paths[-1]).action == HsmAction.ARCHIVE
    with pytest.raises(KeyError):
        L.hsm_states(paths, progress=fails)


def test_enums_name_their_members():
    both = HsmStates.EXISTS | HsmStates.ARCHIVED
    assert (str(both), f"{both}", f"{both:#x}", both == 9, "%d" % both) == ("HsmStates.EXISTS|ARCHIVED",
                                                                          "HsmStates.EXISTS|ARCHIVED", "0x9", True,
                                                                          "9")
    assert (str(HsmAction.RELEASE), f"{L.ProgressState.RUNNING}", HsmAction.RELEASE == 12) == (
        "HsmAction.RELEASE", "ProgressState.RUNNING", True)
    assert [(t.name, t.value) for t in L.RecordType][:3] == [("MARK", 0), ("CREAT", 1), ("MKDIR", 2)]
    assert (L.RecordType.RENME, L.RecordType.CLOSE) == (8, 11)


def test_help_reads_as_python():
    import pydoc
    text = pydoc.render_doc(L, renderer=pydoc.plaintext)
    assert "pybind11" not in text and "PyCapsule" not in text
    # Every function and method of the package's own shows its parameters.
    for name in L.__all__:
        item = getattr(L, name)
        if callable(item) and not inspect.isclass(item):
            assert f"\n    {name}(" in text and f"    {name}(...)" not in text, name
    for cls in (L.Fid, L.ChangelogReader, L.Copytool, L.CopyAction, L.ActionList):
        for attr, member in vars(cls).items():
            if callable(member) and attr != "__init__" or attr == "__init__" and cls is not L.Fid:
                str(inspect.signature(getattr(cls, attr)))  # raises when the docstring has no signature
    assert str(inspect.signature(L.ChangelogReader)) == "(mdt, start=0, follow=False)"
    assert str(inspect.signature(L.hsm_request)) == "(paths, action, archive_id=0, data=b'', *, progress=None)"
    # LustreError's subclasses are named in its documentation rather than each documented whole (about
    # 100 lines each), nor are int's methods repeated beyond the enums.
    assert len(text.splitlines()) < 3500
