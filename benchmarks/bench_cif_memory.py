"""Peak memory of reading a large CIF: a P1 cell with a million or so atom-site rows.

Writes the file (on a jittered grid, so no two sites merge), then reads it with
Structure.from_cif in a fresh process and prints the peak RSS growth as a
multiple of the file size, and the time taken.

    python benchmarks/bench_cif_memory.py [--rows N] [--uiso] [--keep PATH]
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile
from pathlib import Path

MEASURE = r"""
import os, resource, sys, time
import molvane

def rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1]) * 1024
    return 0

path = sys.argv[1]
base = rss()
start = time.perf_counter()
s = molvane.Structure.from_cif(path)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
size = os.path.getsize(path)
print(f"{s.n_sites} sites from {size / 1e6:.1f} MB: peak RSS growth {(peak - base) / 1e6:.1f} MB"
      f" = {(peak - base) / size:.2f} x the file, held {(rss() - base) / 1e6:.1f} MB, {elapsed:.2f} s")
"""


def write_cif(path, rows, uiso, seed=1):
    rng = random.Random(seed)
    elements = ["O", "Si", "Al", "Mg", "Fe"]
    n = 1
    while n ** 3 < rows:
        n += 1
    head = ["data_large", "_cell_length_a 220.0", "_cell_length_b 220.0", "_cell_length_c 220.0",
            "_cell_angle_alpha 90", "_cell_angle_beta 90", "_cell_angle_gamma 90",
            "_symmetry_space_group_name_H-M 'P 1'", "loop_", "_symmetry_equiv_pos_as_xyz", "'x,y,z'",
            "loop_", "_atom_site_label", "_atom_site_type_symbol", "_atom_site_fract_x",
            "_atom_site_fract_y", "_atom_site_fract_z", "_atom_site_occupancy"]
    if uiso:
        head += ["_atom_site_U_iso_or_equiv", "_atom_site_adp_type"]
    with open(path, "w") as f:
        f.write("\n".join(head) + "\n")
        lines = []
        for i in range(rows):
            el = elements[i % len(elements)]
            c = [(k + 0.5 + rng.uniform(-0.2, 0.2)) / n for k in (i % n, (i // n) % n, i // (n * n))]
            coords = " ".join(f"{x:.7f}({rng.randint(1, 19)})" for x in c)
            tail = f" 0.0{rng.randint(100, 999)}(3) Uiso" if uiso else ""
            lines.append(f"{el}{i} {el} {coords} 1.0{tail}\n")
            if len(lines) == 100_000:
                f.write("".join(lines))
                lines = []
        f.write("".join(lines))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=1_650_000, help="atom-site rows (default: about 100 MB)")
    ap.add_argument("--uiso", action="store_true", help="add U_iso and adp_type columns")
    ap.add_argument("--keep", type=Path, help="write the file here and keep it")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or Path(tmp) / "large.cif"
        write_cif(path, args.rows, args.uiso)
        subprocess.run([sys.executable, "-c", MEASURE, str(path)], check=True, env=os.environ)


if __name__ == "__main__":
    main()
