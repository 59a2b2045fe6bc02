"""A fresh stand-in per test: file system "lustre" with two MDTs mounted at
<tmp>/mnt, archive 1 at <tmp>/archive, MDS "mds1" reachable as root.
pytest's temporary folders go to a folder of this run's own, made in TMPDIR
and removed when the run ends (pytest would keep its pytest-of-<user>)."""
import os
import shutil
import subprocess
import tempfile
import types

import pytest

import lustreapi

SIM_BIN = os.environ["LUSTREAPI_SIM_BIN"]


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    if config.option.basetemp is None:
        config.option.basetemp = config._lustreapi_basetemp = tempfile.mkdtemp(prefix="lustreapi-pytest.")


def pytest_unconfigure(config):
    made = getattr(config, "_lustreapi_basetemp", None)
    if made:
        shutil.rmtree(made, ignore_errors=True)


def sim(*args):
    return subprocess.run(["lustre-sim", *map(str, args)], check=True, capture_output=True, text=True).stdout


@pytest.fixture(scope="session", autouse=True)
def loaded():
    lustreapi.load()


@pytest.fixture
def standin(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", SIM_BIN + os.pathsep + os.environ["PATH"])
    monkeypatch.setenv("LUSTRE_SIM_STATE", str(tmp_path / "state"))
    mnt, archive = tmp_path / "mnt", tmp_path / "archive"
    mnt.mkdir()
    archive.mkdir()
    sim("init", tmp_path / "state", "--version", "2.15")
    sim("add-fs", "lustre", "--mdts", 2)
    sim("mount", "lustre", mnt)
    sim("add-archive", "lustre", 1, archive)
    sim("add-mds", "lustre", 0, "mds1", "192.168.0.1@tcp")
    sim("allow-login", "root", "mds1")
    return types.SimpleNamespace(dir=tmp_path, mnt=str(mnt), archive=str(archive), sim=sim)
