"""Shared fixtures: the repository, the real archives and the varlix-unpack to compare with."""

import json
import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture
def unpack_tool():
    """The built varlix-unpack (env VARLIX_UNPACK), or skip."""
    tool = os.environ.get("VARLIX_UNPACK")
    if not tool or not os.access(tool, os.X_OK):
        pytest.skip("VARLIX_UNPACK does not name a built varlix-unpack: "
                    "nothing to compare with")
    return tool


@pytest.fixture
def realdata():
    """The folder of real archives (env VARLIX_REALDATA_DIR, else ../shared/realdata), or skip."""
    folder = pathlib.Path(os.environ.get("VARLIX_REALDATA_DIR", ROOT.parent / "shared" / "realdata"))
    if not (folder / "_SETUP.LIB").is_file():
        pytest.skip(f"no real archives in {folder}")
    return folder


def unpack_json(tool, path, *options):
    """varlix-unpack --json's document for the installer at path."""
    done = subprocess.run([tool, "--json", *options, str(path)], capture_output=True, check=True)
    return json.loads(done.stdout)


def unpack_files(tool, path, folder, *options):
    """Extract the installer at path into folder with varlix-unpack; {path: bytes}."""
    subprocess.run([tool, "-q", "-d", str(folder), *options, str(path)], check=True)
    return {str(file.relative_to(folder)): file.read_bytes()
            for file in pathlib.Path(folder).rglob("*") if file.is_file()}


def write(folder, name, data):
    """data written to folder/name; returns the path."""
    path = pathlib.Path(folder) / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path
