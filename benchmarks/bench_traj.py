"""Reading and averaging XYZ trajectories, beside ASE and OVITO.

    python benchmarks/bench_traj.py [--quick] [--frames F] [--atoms N] [--cutoff R]

Writes a trajectory of F frames of N atoms (100 x 4,000 by default, 8-decimal
coordinates, about 17 MB) into a temporary folder, then times:

- read_xyz_trajectory reading every frame (MB of file per second), every
  tenth frame and only the first ten (stop=10), iter_xyz_frames streaming
  every frame, and index_xyz_trajectory (the frame index);
- the averaged partial RDFs end to end (cutoff R, 6 A by default): molvane's
  trajectory_rdf, and OVITO's pipeline (import_file,
  CoordinationAnalysisModifier(partial=True), TimeAveragingModifier) when
  OVITO is installed (pip install ovito);
- ase.io.read(path, ":") when ASE is installed.

The machine's load average is printed first and last: timings on a shared
machine vary.
"""
import argparse
import os
import random
import tempfile
import time

import molvane
from molvane import index_xyz_trajectory, iter_xyz_frames, read_xyz_trajectory, trajectory_rdf

# Atoms per cubic angstrom of the generated cells: that of liquid water.
DENSITY = 0.1


def write_trajectory(path, n_frames, n_atoms, seed=11):
    """Frames of one random cell (SiO2 composition) whose atoms drift."""
    rng = random.Random(seed)
    edge = round((n_atoms / DENSITY) ** (1 / 3), 4)
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


def timed(fn, repeats, clock=time.perf_counter):
    best, result = float("inf"), None
    for _ in range(repeats):
        t0 = clock()
        result = fn()
        best = min(best, clock() - t0)
    return best, result


def ovito_average(path, cutoff, n_bins):
    from ovito.io import import_file
    from ovito.modifiers import CoordinationAnalysisModifier, TimeAveragingModifier

    pipeline = import_file(path)
    pipeline.modifiers.append(CoordinationAnalysisModifier(cutoff=cutoff, number_of_bins=n_bins, partial=True))
    pipeline.modifiers.append(TimeAveragingModifier(operate_on="table:coordination-rdf"))
    return pipeline.compute().tables["coordination-rdf[average]"]


def load():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20 frames, one run each")
    parser.add_argument("--frames", type=int, default=None)
    parser.add_argument("--atoms", type=int, default=4000)
    parser.add_argument("--cutoff", type=float, default=6.0)
    args = parser.parse_args()
    n_frames = args.frames or (20 if args.quick else 100)
    repeats = 1 if args.quick else 5
    print(load())

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "traj.xyz")
        write_trajectory(path, n_frames, args.atoms)
        size = os.path.getsize(path)
        print(f"{n_frames} frames x {args.atoms} atoms, {size / 1e6:.1f} MB; best of {repeats}")

        def mbps(seconds):
            return f"{seconds * 1e3:9.1f} ms  {size / seconds / 1e6:7.0f} MB/s"

        whole, (s, idx, n) = timed(lambda: read_xyz_trajectory(path), repeats)
        assert len(s) == n_frames and n == n_frames
        del s
        tenth, (_, idx, _) = timed(lambda: read_xyz_trajectory(path, every=10), repeats)
        assert idx == list(range(0, n_frames, 10))
        first, (_, _, n) = timed(lambda: read_xyz_trajectory(path, stop=10), repeats)
        streamed, count = timed(lambda: sum(1 for _ in iter_xyz_frames(path)), repeats)
        assert count == n_frames
        indexed, index = timed(lambda: index_xyz_trajectory(path), repeats)
        assert len(index) == n_frames
        print(f"  read_xyz_trajectory(path)            {mbps(whole)}")
        print(f"  read_xyz_trajectory(path, every=10)  {tenth * 1e3:9.1f} ms  ({whole / tenth:.1f}x faster than whole)")
        print(f"  read_xyz_trajectory(path, stop=10)   {first * 1e3:9.1f} ms")
        print(f"  iter_xyz_frames(path), every frame   {mbps(streamed)}")
        print(f"  index_xyz_trajectory(path)           {mbps(indexed)}")
        # The readers run on one thread: their CPU time is what a loaded machine distorts least.
        whole_cpu, _ = timed(lambda: read_xyz_trajectory(path), repeats, time.process_time)
        streamed_cpu, _ = timed(lambda: sum(1 for _ in iter_xyz_frames(path)), repeats, time.process_time)
        print(f"  by CPU time: read_xyz_trajectory {size / whole_cpu / 1e6:.0f} MB/s, "
              f"iter_xyz_frames {size / streamed_cpu / 1e6:.0f} MB/s")

        n_bins = round(args.cutoff / 0.05)
        t_ours, result = timed(lambda: trajectory_rdf(path, args.cutoff, 0.05), 1 if args.quick else 2)
        print(f"  trajectory_rdf, cutoff {args.cutoff:g} A, {molvane.Structure.available_threads()} threads"
              f"  {t_ours:7.2f} s  ({n_frames / t_ours:.1f} frames/s)")
        try:
            import ovito  # noqa: F401
        except ImportError:
            print("  (OVITO is not installed: pip install ovito for the comparison)")
        else:
            t_ovito, table = timed(lambda: ovito_average(path, args.cutoff, n_bins), 1)
            names = list(table.y.component_names)
            worst = max(abs(table.xy()[:, 1 + names.index(f"{a}-{b}")] - result.g(a, b)).max()
                        for a, b in [("Si", "Si"), ("Si", "O"), ("O", "O")])
            print(f"  OVITO pipeline (partial=True, time-averaged)  {t_ovito:7.2f} s  "
                  f"(molvane {t_ovito / t_ours:.1f}x faster; partial g(r) agree within {worst:.1g})")
        try:
            import ase.io
        except ImportError:
            print("  (ASE is not installed: pip install ase for the comparison)")
        else:
            t_ase, frames = timed(lambda: ase.io.read(path, ":"), 1)
            assert len(frames) == n_frames
            print(f"  ase.io.read(path, ':')               {mbps(t_ase)}  (molvane {t_ase / whole:.1f}x faster)")
    print(load())


if __name__ == "__main__":
    main()
