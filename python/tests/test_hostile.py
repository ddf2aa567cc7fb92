"""Hostile inputs: each failure raises its varlix.Error subclass, with the tool's exit code,
and nothing crashes the interpreter or leaves a file behind."""

import subprocess
import sys

import pytest

import varlix
from archive_writer import HEADER_SIZE, build_archive, build_container, build_set, \
    literal_stream, packed
from conftest import ROOT, write

GOOD = packed(b"GOOD.TXT", b"good bytes " * 40)


def one_member_archive(folder, member):
    """An archive of a good member, then member."""
    return write(folder, "A.Z", build_archive([GOOD, member]))


def _member(name, data, size, **details):
    """A member of the given stored bytes and recorded size."""
    member = packed(name, b"", **details)
    member.data, member.size = data, size
    return member


def damaged_stream():
    stream = bytearray(literal_stream(b"abc" * 50))
    stream[0] = 7  # no such literal mode
    return _member(b"BAD.TXT", bytes(stream), 150)


MEMBER_CASES = {
    # name: (the second member, the error, its status, its exit code)
    "a damaged stream": (damaged_stream(), varlix.DamagedError, 8, 6),
    "a stream cut before its end": (
        _member(b"CUT.TXT", literal_stream(b"x" * 300)[:100], 300), varlix.DamagedError, 8, 6),
    "a stream expanding past its record": (
        _member(b"LONG.TXT", literal_stream(b"x" * 5000), 4000), varlix.SizeError, 10, 8),
    "a stream ending short of its record": (
        _member(b"SHORT.TXT", literal_stream(b"x" * 100), 101), varlix.SizeError, 10, 8),
    "a 4 GiB expanded size claimed": (
        _member(b"HUGE.TXT", literal_stream(b"x" * 100), 0xFFFFFFFF), varlix.SizeError, 10, 8),
    "a 4 GiB compressed size claimed": (
        _member(b"HUGE.BIN", literal_stream(b"x"), 1, packed_size=0xFFFFFFFF),
        varlix.OutsideError, 6, 4),
    "data past the end of the file": (
        _member(b"PAST.BIN", literal_stream(b"x"), 1, offset=1 << 20), varlix.OutsideError, 6, 4),
    "a stored member whose sizes differ": (
        _member(b"STORED.DLL", b"MZ" * 100, 150, flags=0x10), varlix.SizeError, 10, 8),
}


@pytest.mark.parametrize("case", MEMBER_CASES, ids=str)
def test_a_bad_member_fails_alone_with_its_error(tmp_path, case):
    member, error, status, exit_code = MEMBER_CASES[case]
    path = one_member_archive(tmp_path, member)
    output = tmp_path / "out.bin"
    with varlix.open(path) as installer:
        assert installer[0].read() == b"good bytes " * 40
        bad = installer[1]
        for call in (bad.read, bad.test, lambda: bad.extract(output), installer.test):
            with pytest.raises(error) as caught:
                call()
            assert (caught.value.status, caught.value.exit_code) == (status, exit_code)
            assert caught.value.member == bad.path and caught.value.path == str(path)
            assert not output.exists()


def test_installer_test_reports_every_failure_and_raises_the_first(tmp_path):
    members = [GOOD, MEMBER_CASES["a damaged stream"][0],
               MEMBER_CASES["a stream expanding past its record"][0]]
    with varlix.open(write(tmp_path, "A.Z", build_archive(members))) as installer:
        with pytest.raises(varlix.DamagedError) as caught:
            installer.test()
        assert [type(e) for e in caught.value.failures] == [varlix.DamagedError,
                                                             varlix.SizeError]


def archive_bytes():
    return build_archive([GOOD, packed(b"TWO.TXT", b"2" * 300)])


OPEN_CASES = {
    "no such file": (None, varlix.OpenError, 2),
    "an empty file": (b"", varlix.NotArchiveError, 3),
    "a file cut inside its header": (archive_bytes()[:100], varlix.NotArchiveError, 3),
    "a file cut inside its directory": (archive_bytes()[:-20], varlix.DirectoryError, 4),
    "another kind of file": (b"MZ" + bytes(400), varlix.NotArchiveError, 3),
    "a container whose table runs past the file": (
        build_container([(b"A.EXE", b"_A._MP", literal_stream(b"MZ"), 2)])[:90],
        varlix.DirectoryError, 4),
}


@pytest.mark.parametrize("case", OPEN_CASES, ids=str)
def test_an_installer_that_does_not_open_raises(tmp_path, case):
    data, error, exit_code = OPEN_CASES[case]
    path = tmp_path / "X.Z" if data is None else write(tmp_path, "X.Z", data)
    with pytest.raises(error) as caught:
        varlix.open(path)
    assert caught.value.exit_code == exit_code and caught.value.path == str(path)
    assert str(caught.value) == f"{path}: {caught.value.text}"


def test_a_member_needing_a_missing_or_foreign_volume_names_it(tmp_path):
    members = [packed(b"A.TXT", b"a" * 400), packed(b"B.TXT", b"b" * 800),
               packed(b"C.TXT", b"c" * 100)]
    volumes = build_set(members, [b"G"], [500, 10000])
    first = write(tmp_path, "S.1", volumes[0])
    other = build_set([packed(b"Z.TXT", b"z" * 900)], [b"G"], [300, 10000])[1]
    for second, status, reason in ((None, 1, "S.2, which is missing or cannot be opened"),
                                   (other, 3, "S.2, which is not a volume of this set")):
        if second is not None:
            write(tmp_path, "S.2", second)
        with varlix.open(first) as installer:
            assert [v.number for v in installer.missing_volumes] == [2]
            assert installer[0].read() == b"a" * 400
            for member in installer[1:]:
                with pytest.raises(varlix.MissingVolumeError) as caught:
                    member.read()
                failure = caught.value
                assert (failure.volume.number, failure.status) == (2, status)
                assert failure.exit_code == {1: 2, 3: 3}[status]
                assert str(failure) == f"{first}: {member.path}: needs {reason}"


def test_a_truncated_volume_fails_only_the_members_it_cuts(tmp_path):
    members = [packed(b"A.TXT", b"a" * 400), packed(b"B.TXT", b"b" * 800)]
    first, second = build_set(members, [b"G"], [500, 10000])
    write(tmp_path, "S.1", first)
    write(tmp_path, "S.2", second[:HEADER_SIZE + 200] + second[-400:])
    with varlix.open(tmp_path / "S.1") as installer:
        assert installer[0].read() == b"a" * 400
        with pytest.raises(varlix.OutsideError):
            installer[1].read()


MUTATION_SCRIPT = r"""
import random, sys, varlix
sys.path.insert(0, sys.argv[3])
from archive_writer import build_archive, build_container, literal_stream, packed, stored
pristine = [
    build_archive([packed(b"A.TXT", b"abc" * 99), stored(b"B.DLL", b"MZ" * 70, folder=1)],
                  [b"", b"Sub"]),
    build_container([(b"I.EXE", b"_I._MP", literal_stream(b"MZ" * 30), 60)]),
]
rng = random.Random(int(sys.argv[2]))
kinds = {}
for round in range(400):
    data = bytearray(rng.choice(pristine))
    for _ in range(rng.randint(1, 6)):
        data[rng.randrange(len(data))] = rng.randrange(256)
    if rng.random() < 0.3:
        del data[rng.randrange(len(data)):]
    with open(sys.argv[1], "wb") as f:
        f.write(data)
    try:
        with varlix.open(sys.argv[1]) as installer:
            for member in installer:
                try:
                    member.read()
                except varlix.Error as failure:
                    kinds[type(failure).__name__] = 1
    except varlix.Error as failure:
        kinds[type(failure).__name__] = 1
print(" ".join(sorted(kinds)))
"""


def test_mutated_archives_raise_errors_and_never_crash(tmp_path):
    # In a child process, so that a crash fails this test instead of ending the run.
    done = subprocess.run([sys.executable, "-c", MUTATION_SCRIPT, str(tmp_path / "M.Z"), "26",
                           str(ROOT / "python" / "tests")], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    assert {"DamagedError", "DirectoryError"} <= set(done.stdout.split())
