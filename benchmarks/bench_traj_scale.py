"""Trajectories larger than memory: the frame index, flat memory when
streaming, and Dask workers.

    python benchmarks/bench_traj_scale.py [--gigabytes 2.2] [--atoms 4000] [--cutoff 4] [--dir /tmp] [--parts 123]

Writes a trajectory of about the given size into --dir (checking the free
space first; removed at the end), then measures:

1. index_xyz_trajectory throughput in MB/s, from the page cache and from disk
   (the file's cached pages dropped first), against `wc -l` on the same file,
   the floor for any reader that must see every byte;
2. the peak resident memory of the streamed average (trajectory_rdf) over a
   quarter of the frames and over all of them, each in a fresh process: it
   must not grow with the number of frames;
3. the wall time of the average over all frames streamed locally on 1 and 2
   threads, and on a local Dask cluster of 1 and 2 worker processes (whose
   start-up is not counted; the index step on a worker is).

Coordinates have 8 decimals; cells hold 0.1 atoms per cubic angstrom.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

DENSITY = 0.1


def write_trajectory(path, target_bytes, n_atoms, seed=3):
    """Frames of one random SiO2-like cell, cycling through 32 distinct
    displacements, until the file holds `target_bytes`."""
    rng = np.random.default_rng(seed)
    edge = round((n_atoms / DENSITY) ** (1 / 3), 4)
    base = rng.uniform(0, edge, (n_atoms, 3))
    symbols = np.array(["Si", "O ", "O "])[np.arange(n_atoms) % 3]
    frames = []
    for k in range(32):
        xyz = base + rng.normal(0, 0.05, base.shape)
        body = "\n".join(f"{s} {x:13.8f} {y:13.8f} {z:13.8f}" for s, (x, y, z) in zip(symbols, xyz))
        frames.append((f"{n_atoms}\nLattice=\"{edge} 0 0 0 {edge} 0 0 0 {edge}\" "
                       f"Properties=species:S:1:pos:R:3 pbc=\"T T T\"\n{body}\n").encode())
    written = n = 0
    with open(path, "wb") as f:
        while written < target_bytes:
            f.write(frames[n % len(frames)])
            written += len(frames[n % len(frames)])
            n += 1
    return n


def drop_cached_pages(path):
    with open(path, "rb") as f:
        os.fsync(f.fileno())
        os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def in_fresh_process(code):
    """Runs `code` in a new interpreter; returns what it prints last, split."""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    return out.split("\n")[-2].split()


def load():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gigabytes", type=float, default=2.2)
    parser.add_argument("--atoms", type=int, default=4000)
    parser.add_argument("--cutoff", type=float, default=4.0)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    parser.add_argument("--parts", default="123", help="which of the three measurements to run")
    args = parser.parse_args()
    target = int(args.gigabytes * 1e9)
    free = shutil.disk_usage(args.dir).free
    if free < 2 * target:
        sys.exit(f"{args.dir} has {free / 1e9:.1f} GB free; the benchmark needs {2 * target / 1e9:.1f} GB")
    import molvane

    print(load(), f"; {molvane.Structure.available_threads()} threads")
    folder = tempfile.mkdtemp(dir=args.dir, prefix="molvane-bench-")
    path = os.path.join(folder, "big.xyz")
    try:
        t, n_frames = timed(lambda: write_trajectory(path, target, args.atoms))
        mb = os.path.getsize(path) / 1e6
        print(f"{n_frames} frames x {args.atoms} atoms, {mb / 1e3:.2f} GB (written in {t:.0f} s)")
        if "1" in args.parts:
            index_speed(path, mb)
        if "2" in args.parts:
            peak_memory(path, n_frames, args.cutoff)
        if "3" in args.parts:
            wall_times(path, n_frames, args.cutoff, mb)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(load())


def index_speed(path, mb):
    from molvane import index_xyz_trajectory

    print("1. index throughput (best of 3, the two taking turns)")
    for cold in (True, False):
        best = {"index_xyz_trajectory": 0.0, "wc -l": 0.0}
        for _ in range(3):
            for name, run in [("index_xyz_trajectory", lambda: index_xyz_trajectory(path)),
                              ("wc -l", lambda: subprocess.run(["wc", "-l", path], capture_output=True))]:
                if cold:
                    drop_cached_pages(path)
                best[name] = max(best[name], mb / timed(run)[0])
        print(f"   from {'disk' if cold else 'page cache':10s}: "
              + "   ".join(f"{name} {rate:7.0f} MB/s" for name, rate in best.items()))


def peak_memory(path, n_frames, cutoff):
    """Peak resident memory while averaging, in a fresh process whose peak
    is reset (/proc/self/clear_refs) once molvane is imported."""
    print("2. peak resident memory of the average (fresh process each; peak counted after the imports)")
    start = ("import molvane, resource; open('/proc/self/clear_refs', 'w').write('5'); "
             "rss = lambda key: int(next(l for l in open('/proc/self/status') if l.startswith(key)).split()[1]); "
             "before = rss('VmRSS:'); ")
    report = "; print(r.n_frames, before, rss('VmHWM:'))"
    streamed = start + f"r = molvane.trajectory_rdf({path!r}, {cutoff}, 0.05, stop={{stop}})" + report
    held = (start + f"s = molvane.read_xyz_trajectory({path!r}, stop={n_frames // 4})[0]; "
            f"r = molvane.rdf_average(s, {cutoff}, 0.05)" + report)
    runs = [("streamed", streamed.format(stop=n_frames // 4)), ("streamed", streamed.format(stop=n_frames)),
            ("held in memory (read_xyz_trajectory + rdf_average)", held)]
    for how, code in runs:
        t, (frames, before, peak) = timed(lambda: in_fresh_process(code))
        print(f"   {int(frames):6d} frames {how}: {int(peak) / 1024:7.1f} MB peak "
              f"({int(before) / 1024:.1f} MB after the imports; {t:.0f} s)")


def wall_times(path, n_frames, cutoff, mb):
    from molvane import index_xyz_trajectory, trajectory_rdf

    print(f"3. average of all {n_frames} frames, cutoff {cutoff:g} A")
    timings = {}
    for threads in (1, 2):
        t, local = timed(lambda: trajectory_rdf(path, cutoff, 0.05, n_threads=threads))
        timings[f"local, {threads} thread(s)"] = t
    try:
        from molvane.distributed import open_client
    except ImportError:
        print("   (Dask is not installed: pip install 'molvane[dask]')")
    else:
        for workers in (1, 2):
            with open_client(workers) as client:
                t, result = timed(lambda: trajectory_rdf(path, cutoff, 0.05, client=client))
                t_index, _ = timed(lambda: client.submit(index_xyz_trajectory, path, pure=False).result())
            timings[f"Dask, {workers} worker process(es)"] = t
            same = np.array_equal(result.total_density(), local.total_density())
            print(f"   (Dask, {workers} workers: index step on a worker {t_index:.1f} s; "
                  f"equal to the local result to the last bit: {same})")
    for name, t in timings.items():
        print(f"   {name:32s} {t:7.1f} s  {mb / t:6.0f} MB/s  {n_frames / t:6.0f} frames/s")


if __name__ == "__main__":
    main()
