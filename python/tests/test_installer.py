"""The package on generated archives and the committed examples: what it lists, what it reads."""

import datetime
import gc

import pytest

import varlix
from archive_writer import build_archive, build_container, build_set, literal_stream, packed, stored
from conftest import ROOT, unpack_files, unpack_json, write

EXAMPLES = [ROOT / "examples" / "demo.z", ROOT / "examples" / "demo-set" / "DEMO.1"]


def detailed_archive(folder):
    """An archive whose records cover each kind of detail, with the expected values."""
    members = [
        packed(b"README.TXT", b"read me\r\n" * 30, dos_date=0x24CC, dos_time=0x53C2,
               version_high=0x00020001, version_low=0x00030004),
        stored(b"SETUP.DLL", b"MZ" + bytes(range(256)) * 3, folder=1, attributes=0x21),
        packed(b"BADDATE.TXT", b"x", dos_date=(18 << 9) | (13 << 5) | 1),  # month 13
        packed(b"LEAP.TXT", b"y", dos_date=(19 << 9) | (2 << 5) | 29),  # 1999-02-29
        packed(b"Caf\xe9.txt", b"z", folder=2),
    ]
    path = write(folder, "DATA.Z", build_archive(members, [b"", b"Program\\Sys", b"\xc9t\xe9"]))
    expected = [
        ("README.TXT", 270, datetime.datetime(1998, 6, 12, 10, 30, 4), 0x20, False,
         (2, 1, 3, 4), False),
        ("Program/Sys/SETUP.DLL", 770, datetime.datetime(1998, 6, 12, 10, 30), 0x21, True,
         None, True),
        ("BADDATE.TXT", 1, None, 0x20, False, None, False),
        ("LEAP.TXT", 1, None, 0x20, False, None, False),
        ("\u00c9t\u00e9/Caf\u00e9.txt", 1, datetime.datetime(1998, 6, 12, 10, 30), 0x20, False,
         None, False),
    ]
    return path, members, expected


def test_members_carry_their_records_details(tmp_path):
    path, members, expected = detailed_archive(tmp_path)
    with varlix.open(path) as installer:
        assert not installer.disk_set
        assert [(v.number, v.present) for v in installer.volumes] == [(0, True)]
        assert [f.name for f in installer.folders] == ["", "Program/Sys", "\u00c9t\u00e9"]
        got = [(m.path, m.size, m.datetime, m.attributes, m.read_only, m.version, m.stored)
               for m in installer]
        assert got == expected
        assert [m.packed_size for m in installer] == [len(m.data) for m in members]
        assert all(m.volumes == (0,) and m.stored_as is None for m in installer)
        assert installer[1].read() == members[1].data
        assert installer[0].read() == b"read me\r\n" * 30


@pytest.mark.parametrize("codepage, raw, name", [
    ("CP1252", b"Caf\xe9.txt", "Caf\u00e9.txt"),
    ("CP1252", b"A\x81B", "A\ufffdB"),  # 0x81 is no character in CP1252
    ("ISO-8859-1", b"A\x81B", "A\x81B"),
    ("CP932", b"\x95\x5c.TXT", "\u8868.TXT"),  # a second byte 0x5C is no folder separator
    ("CP932", b"\x82\xa0\x82\xa2", "\u3042\u3044"),
])
def test_names_are_converted_from_the_code_page(tmp_path, codepage, raw, name):
    path = write(tmp_path, "N.Z", build_archive([packed(raw, b"n", folder=1)], [b"", b"D"]))
    with varlix.open(path, codepage=codepage) as installer:
        member = installer[0]
        assert (member.name, member.raw_name, member.path) == (name, raw, "D/" + name)
        assert installer["D/" + name] is member


def test_an_unknown_code_page_is_refused_before_anything_is_opened(tmp_path):
    with pytest.raises(LookupError, match="NO-SUCH-PAGE"):
        varlix.open(tmp_path / "absent.z", codepage="NO-SUCH-PAGE")


def test_members_are_found_by_position_path_or_name(tmp_path):
    path, _, _ = detailed_archive(tmp_path)
    with varlix.open(path) as installer:
        assert len(installer) == 5 and list(installer) == list(installer.members)
        assert installer[-1] is installer.members[4] and len(installer[1:3]) == 2
        assert installer["program\\sys\\setup.dll"] is installer[1]
        assert installer["setup.DLL"] is installer[1]
        assert installer.find("NOSUCH") is None
        with pytest.raises(varlix.NoMemberError) as caught:
            installer["NOSUCH"]
        assert isinstance(caught.value, KeyError) and caught.value.exit_code == 5


def test_a_closed_installer_refuses_every_call_and_members_keep_it_alive(tmp_path):
    path, members, _ = detailed_archive(tmp_path)
    member = varlix.open(path)[1]
    gc.collect()
    assert member.read() == members[1].data  # nothing but the member refers to it
    installer = member.installer
    with installer:
        pass
    assert installer.closed
    for call in (member.read, member.test, installer.test,
                 lambda: member.extract(tmp_path / "out")):
        with pytest.raises(ValueError, match="closed"):
            call()
    installer.close()  # a second time
    assert not (tmp_path / "out").exists()


def test_extract_writes_the_member_alone(tmp_path):
    path, members, _ = detailed_archive(tmp_path)
    with varlix.open(path) as installer:
        installer[1].extract(tmp_path / "SETUP.DLL")
        installer.test()
    assert (tmp_path / "SETUP.DLL").read_bytes() == members[1].data


def generated_installers(folder):
    """A disk set of three volumes with a member over each boundary, an engine container, and
    an archive of Japanese names in code page 932 (with (path, code page) pairs)."""
    members = [packed(b"ONE.TXT", b"1" * 700), packed(b"TWO.BIN", bytes(range(256)) * 9,
                                                       folder=1),
               stored(b"THREE.DLL", b"MZ" * 600, folder=1, attributes=0x01),
               packed(b"FOUR.TXT", b"4" * 10, dos_time=0xBFFF)]  # 23:63: no real time
    for number, volume in enumerate(build_set(members, [b"Group1", b"Group2\\Sub"],
                                              [1000, 2000, 0]), 1):
        write(folder / "set", f"SETUP.{number}", volume)
    container = build_container([
        (b"INSTALL.EXE", b"_INS0432._MP", literal_stream(b"MZ" + b"\x90" * 300), 302),
        (b"BOOT16.EXE", b"_INJ0432._MP", literal_stream(b"MZboot"), 6)])
    japanese = build_archive([packed(b"\x83\x81\x83\x82.TXT", b"memo", folder=1),
                              packed(b"\x95\x5c.INI", b"[hyou]", folder=1)],
                             [b"", b"\x95\x5c\x8e\xa6\\\x83f\x81[\x83^"])
    return [(folder / "set" / "SETUP.2", "CP1252"),
            (write(folder, "_INST32I.EX_", container), "CP1252"),
            (write(folder, "JAPAN.Z", japanese), "CP932")]


def listing(path, codepage="CP1252"):
    """What the package lists, keyed as varlix-unpack --json keys it."""
    with varlix.open(path, codepage=codepage) as installer:
        return [{"path": m.path, "size": m.size, "packed_size": m.packed_size,
                 "time": m.datetime.isoformat() if m.datetime else None,
                 "attribute_bits": m.attributes,
                 "version": ".".join(map(str, m.version)) if m.version else None,
                 "volumes": list(m.volumes) if m.volumes is not None else None,
                 "stored_as": m.stored_as} for m in installer]


def test_listing_agrees_with_varlix_unpack_json(tmp_path, unpack_tool):
    for path, codepage in [(p, "CP1252") for p in EXAMPLES] + generated_installers(tmp_path):
        document = unpack_json(unpack_tool, path, "--codepage", codepage)
        keys = ("path", "size", "packed_size", "time", "attribute_bits", "version", "volumes")
        expected = [{**{k: m[k] for k in keys}, "stored_as": m.get("stored_as")}
                    for m in document["members"]]
        assert listing(path, codepage) == expected, path
        with varlix.open(path) as installer:
            assert [(v.number, v.path, v.present) for v in installer.volumes] == \
                [(v["number"], v["path"], v["present"]) for v in document["volumes"]]


def test_members_read_as_varlix_unpack_writes_them(tmp_path, unpack_tool):
    installers = [(p, "CP1252") for p in EXAMPLES] + generated_installers(tmp_path)
    for index, (path, codepage) in enumerate(installers):
        written = unpack_files(unpack_tool, path, tmp_path / f"out{index}", "--codepage", codepage)
        with varlix.open(path, codepage) as installer:
            assert {m.path: m.read() for m in installer} == written, path
