"""Threads: members decoded at once give the bytes one thread gives, and closing the installer
while they read fails their reads cleanly."""

import random
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import varlix
from archive_writer import build_set, packed, stored
from conftest import write


def generated_set(folder):
    rng = random.Random(26)
    members = [(packed if i % 3 else stored)(b"M%03d.BIN" % i, rng.randbytes(rng.randrange(9000)),
                                              folder=i % 2) for i in range(60)]
    for number, volume in enumerate(build_set(members, [b"A", b"B"], [90000, 90000, 0]), 1):
        write(folder, f"D.{number}", volume)
    return folder / "D.1"


def test_a_thread_pool_reads_the_bytes_one_thread_reads(tmp_path):
    with varlix.open(generated_set(tmp_path)) as installer:
        alone = [member.read() for member in installer]
        with ThreadPoolExecutor(4) as pool:
            for _ in range(3):
                assert list(pool.map(varlix.Member.read, installer)) == alone
    assert sum(map(len, alone)) > 200000 and len(set(m.volumes for m in installer)) > 2


def test_closing_while_threads_read_fails_their_reads_and_nothing_else(tmp_path):
    installer = varlix.open(generated_set(tmp_path))
    alone = [member.read() for member in installer]
    outcomes = []
    started = threading.Barrier(5)

    def read_again_and_again():
        started.wait()
        for _ in range(10000):
            for member in installer:
                try:
                    outcomes.append(member.read() == alone[member.index])
                except ValueError:
                    outcomes.append("closed")
                    return

    threads = [threading.Thread(target=read_again_and_again) for _ in range(4)]
    for thread in threads:
        thread.start()
    started.wait()
    installer.close()
    for thread in threads:
        thread.join()
    assert outcomes.count("closed") == 4 and False not in outcomes
    with pytest.raises(ValueError):
        installer[0].read()
