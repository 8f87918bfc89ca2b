"""Reading speed of read_xyz_trajectory, beside ASE.

    python benchmarks/bench_traj.py [--quick] [--frames F] [--atoms N]

Writes a trajectory of F frames of N atoms (1,000 x 1,000, about 40 MB, by
default) into a temporary folder, then times read_xyz_trajectory reading every
frame, every tenth frame, and only the first ten (stop=10), and, when it is
installed, ase.io.read(path, ":").
"""
import argparse
import os
import random
import tempfile
import time

from molvane import read_xyz_trajectory


def write_trajectory(path, n_frames, n_atoms, seed=11):
    rng = random.Random(seed)
    edge = 22.0
    base = [(rng.uniform(0, edge), rng.uniform(0, edge), rng.uniform(0, edge)) for _ in range(n_atoms)]
    symbols = ["Si", "O", "O"]
    with open(path, "w") as f:
        for frame in range(n_frames):
            lines = [str(n_atoms),
                     f'Lattice="{edge} 0.0 0.0 0.0 {edge} 0.0 0.0 0.0 {edge}" '
                     f'Properties=species:S:1:pos:R:3 Time={frame * 0.5} pbc="T T T"']
            for k, (x, y, z) in enumerate(base):
                d = 0.01 * frame
                lines.append(f"{symbols[k % 3]:2s} {x + d:12.8f} {y - d:12.8f} {z + d:12.8f}")
            f.write("\n".join(lines) + "\n")


def timed(fn, repeats):
    best, result = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="100 frames, one run each")
    parser.add_argument("--frames", type=int, default=None)
    parser.add_argument("--atoms", type=int, default=1000)
    args = parser.parse_args()
    n_frames = args.frames or (100 if args.quick else 1000)
    repeats = 1 if args.quick else 3
    try:
        import ase.io
    except ImportError:
        ase = None

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "traj.xyz")
        t0 = time.perf_counter()
        write_trajectory(path, n_frames, args.atoms)
        size = os.path.getsize(path)
        print(f"{n_frames} frames x {args.atoms} atoms, {size / 1e6:.1f} MB "
              f"(written in {time.perf_counter() - t0:.1f} s); best of {repeats}")

        whole, (s, idx, n) = timed(lambda: read_xyz_trajectory(path), repeats)
        assert len(s) == n_frames and n == n_frames
        tenth, (s, idx, n) = timed(lambda: read_xyz_trajectory(path, every=10), repeats)
        assert idx == list(range(0, n_frames, 10))
        first, (s, idx, n) = timed(lambda: read_xyz_trajectory(path, stop=10), repeats)
        assert n == 10
        del s
        print(f"  read_xyz_trajectory(path)            {whole * 1e3:9.1f} ms")
        print(f"  read_xyz_trajectory(path, every=10)  {tenth * 1e3:9.1f} ms  ({whole / tenth:.1f}x faster than whole)")
        print(f"  read_xyz_trajectory(path, stop=10)   {first * 1e3:9.1f} ms  "
              f"({first / whole * 100:.1f}% of whole for {10 / n_frames * 100:.1f}% of the frames)")
        if ase is not None:
            t_ase, frames = timed(lambda: ase.io.read(path, ":"), 1)
            assert len(frames) == n_frames
            print(f"  ase.io.read(path, ':')               {t_ase * 1e3:9.1f} ms  "
                  f"(molvane whole read {t_ase / whole:.1f}x faster)")
        else:
            print("(ASE is not installed: pip install ase for the comparison)")


if __name__ == "__main__":
    main()
