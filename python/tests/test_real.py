"""The real archives, when present: every member's bytes are those varlix-unpack writes."""

import shutil
from concurrent.futures import ThreadPoolExecutor

import pytest

import varlix
from conftest import unpack_files

INSTALLERS = [("_SETUP.LIB", 7), ("_INST32I.EX_", 4), ("set/_SETUP.1", 202)]


@pytest.mark.parametrize("name, count", INSTALLERS)
def test_every_real_member_reads_as_varlix_unpack_writes_it(tmp_path, realdata, unpack_tool,
                                                            name, count):
    written = unpack_files(unpack_tool, realdata / name, tmp_path / "out")
    with varlix.open(realdata / name) as installer:
        assert len(installer) == count
        with ThreadPoolExecutor(2) as pool:
            read = dict(zip((m.path for m in installer), pool.map(varlix.Member.read, installer)))
    assert read == written


def test_a_real_set_short_of_its_last_volume_reads_what_it_holds(tmp_path, realdata):
    for number in (1, 2):
        shutil.copy(realdata / "set" / f"_SETUP.{number}", tmp_path)
    with varlix.open(tmp_path / "_SETUP.2") as installer:
        assert [v.number for v in installer.missing_volumes] == [3]
        outcomes = {"read": 0, "missing": 0}
        for member in installer:
            try:
                assert len(member.read()) == member.size
                outcomes["read"] += 1
            except varlix.MissingVolumeError as failure:
                assert failure.volume.file == "_SETUP.3" and 3 in member.volumes
                outcomes["missing"] += 1
    # 50 members lie in volume 1 alone and 89 in volume 2; 61, and one that straddles, need 3.
    assert outcomes == {"read": 140, "missing": 62}
