"""Decoding speed of every member of an installer: a thread pool against one thread.

    ENV/bin/python python/bench/bench_threads.py [INSTALLER] [--threads N] [--runs R]
        [--repeat K]

INSTALLER defaults to the real disk set in ../shared/realdata (or
VARLIX_REALDATA_DIR) when present, else to examples/demo-set/DEMO.1. A run
reads every member K times over, through a pool of one thread or of N; the
runs of the two take turns, R each, and each keeps its best. It prints the
expanded megabytes per second, the pool's speed against one thread, and the
machine's load.
"""

import argparse
import os
import pathlib
import time
from concurrent.futures import ThreadPoolExecutor

import varlix

ROOT = pathlib.Path(__file__).resolve().parents[2]


def default_installer():
    realdata = pathlib.Path(os.environ.get("VARLIX_REALDATA_DIR", ROOT.parent / "shared" / "realdata"))
    real_set = realdata / "set" / "_SETUP.1"
    return real_set if real_set.is_file() else ROOT / "examples" / "demo-set" / "DEMO.1"


def run_time(pool, members):
    started = time.perf_counter()
    for _ in pool.map(varlix.Member.read, members):
        pass
    return time.perf_counter() - started


def best_times(members, threads, runs):
    """The best time of one thread and of the pool, their runs taken in turn so that both
    see the same load."""
    with ThreadPoolExecutor(1) as one, ThreadPoolExecutor(threads) as pool:
        times = [(run_time(one, members), run_time(pool, members)) for _ in range(runs)]
    return min(t[0] for t in times), min(t[1] for t in times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("installer", nargs="?", default=str(default_installer()))
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=10)
    options = parser.parse_args()
    with varlix.open(options.installer) as installer:
        members = list(installer) * options.repeat
        megabytes = sum(member.size for member in members) / 1e6
        print(f"{os.path.relpath(options.installer)}: {len(installer)} members read {options.repeat} times, "
              f"{megabytes:.1f} MB expanded a run, best of {options.runs} runs")
        one, pool = best_times(members, options.threads, options.runs)
    print(f"1 thread:   {one:.3f} s, {megabytes / one:.0f} MB/s")
    print(f"{options.threads} threads:  {pool:.3f} s, {megabytes / pool:.0f} MB/s, "
          f"{one / pool:.2f}x one thread")
    print("load average: %.2f %.2f %.2f, %d processors" % (*os.getloadavg(), os.cpu_count()))


if __name__ == "__main__":
    main()
