"""The `molvane` command: structure summaries, RDFs, trajectories, expansion."""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any, TextIO

import molvane
from molvane._molvane import _DEFAULTS as DEFAULTS
from molvane.io import cell_parameters, detect_format, read, write
from molvane.plotting import Curve

FORMATS = ("cif", "poscar", "xyz")


def read_structure(path: str, fmt: str | None = None) -> molvane.Structure:
    return read(path, fmt or detect_format(path, hint="--format cif, poscar or xyz"))


def formula(structure: molvane.Structure) -> str:
    parts = []
    for element, amount in structure.composition.items():
        rounded = round(amount)
        text = str(int(rounded)) if abs(amount - rounded) < 1e-9 else f"{amount:.4f}"
        parts.append(f"{element}{text}")
    return " ".join(parts)


def shell_volumes(r: Curve, bin_size: float) -> list[float]:
    return [4.0 / 3.0 * math.pi * ((x + bin_size) ** 3 - x**3) for x in r]


def first_shell(curve: list[float], volumes: list[float]) -> tuple[int, int, float] | None:
    """(index of the first peak, index of the first minimum after it,
    coordination number up to that minimum) or None for an empty curve."""
    n = len(curve)
    k = next((i for i, v in enumerate(curve) if v > 0), None)
    if k is None:
        return None
    while k + 1 < n and curve[k + 1] >= curve[k]:
        k += 1
    peak = k
    while k + 1 < n and curve[k + 1] <= curve[k]:
        k += 1
    minimum = k
    cn = sum(curve[i] * volumes[i] for i in range(minimum + 1))
    return peak, minimum, cn


def print_pair_table(r: Curve, partials: Mapping[tuple[str, str], Curve], bin_size: float,
                     out: TextIO = sys.stdout) -> None:
    volumes = shell_volumes(r, bin_size)
    print(f"{'pair':<12} {'first peak (A)':>15} {'first min (A)':>14} {'coordination':>13}", file=out)
    for (a, b), curve in partials.items():
        shell = first_shell(list(curve), volumes)
        label = f"{a}-{b}"
        if shell is None:
            print(f"{label:<12} {'-':>15} {'-':>14} {'-':>13}", file=out)
            continue
        peak, minimum, cn = shell
        print(f"{label:<12} {r[peak] + bin_size / 2:>15.3f} {r[minimum] + bin_size / 2:>14.3f} {cn:>13.3f}", file=out)


def print_expansion_report(report: Mapping[str, Any], out: TextIO = sys.stdout) -> None:
    n = report["scale"]
    print(f"expanded into a {n[0]}x{n[1]}x{n[2]} supercell, {report['n_vacancies']} vacancies", file=out)
    rows = report["occupancy_report"]
    if rows:
        print(f"  {'element':<8} {'target':>8} {'actual':>8} {'placed':>7} {'of sites':>9}", file=out)
        for row in rows:
            print(
                f"  {row['element']:<8} {row['target_occupancy']:>8.4f} {row['actual_occupancy']:>8.4f}"
                f" {row['atoms_placed']:>7} {row['sites_in_pool']:>9}",
                file=out,
            )
    for warning in report["warnings"]:
        print(f"warning: {warning}", file=out)


def save_outputs(r: Curve, partials: Mapping[tuple[str, str], Curve], total: Curve, args: argparse.Namespace,
                 density: float, default_name: str) -> list[str]:
    from molvane import plotting

    out_dir = args.out or f"{default_name}_rdf"
    title = args.title if args.title is not None else default_name
    files = plotting.save_prdf_plots(r, partials, total, out_dir, bin_size=args.bin_size, title=title, density=density)
    for f in files:
        print(f"wrote {f}")
    return files


# --- subcommands ---


def cmd_info(args: argparse.Namespace) -> int:
    s = read_structure(args.file, args.format)
    lengths, angles = cell_parameters(s.lattice_matrix)
    print(f"file:           {args.file}")
    print(f"sites:          {s.n_sites}")
    print(f"formula:        {formula(s)}")
    print("cell lengths:   a={:.5f}  b={:.5f}  c={:.5f}  (A)".format(*lengths))
    print("cell angles:    alpha={:.4f}  beta={:.4f}  gamma={:.4f}  (deg)".format(*angles))
    print(f"volume:         {s.volume:.5f} A^3")
    print(f"number density: {s.n_atoms / s.volume:.6f} atoms/A^3")
    summary = s.disorder_summary()
    if not summary:
        print("ordered:        yes")
        return 0
    print(f"ordered:        no ({len(summary)} partially occupied sites)")
    print(f"  {'site':>5}  {'x':>8} {'y':>8} {'z':>8}  {'total':>7} {'vacancy':>8}  occupancies")
    for row in summary:
        x, y, z = row["frac_coords"]
        occ = " ".join(f"{e}:{o:.4f}" for e, o in row["occupancies"].items())
        print(
            f"  {row['site_index']:>5}  {x:>8.4f} {y:>8.4f} {z:>8.4f}  {row['total_occupancy']:>7.4f}"
            f" {row['vacancy']:>8.4f}  {occ}"
        )
    return 0


def cmd_rdf(args: argparse.Namespace) -> int:
    s = read_structure(args.file, args.format)
    if args.expand:
        s, report = s.expand_occupancies(args.max_sites, args.seed, args.max_denominator)
        print_expansion_report(report)
    elif not s.is_ordered:
        print("note: the structure is disordered; curves are weighted by occupancy (use --expand to order it)")
    r, partials, total = s.prdf(args.cutoff, args.bin_size, args.threads)
    print(f"{s.n_sites} sites, cutoff {args.cutoff} A, bin size {args.bin_size} A")
    save_outputs(r, partials, total, args, s.n_atoms / s.volume, Path(args.file).stem)
    print_pair_table(r, partials, args.bin_size)
    return 0


def cmd_traj(args: argparse.Namespace) -> int:
    from molvane.trajectory import average_prdf

    cell = None
    if args.cell is not None:
        if len(args.cell) not in (3, 9):
            raise ValueError("--cell takes 3 edge lengths (orthorhombic) or 9 numbers (rows a, b, c)")
        if len(args.cell) == 3:
            a, b, c = args.cell
            cell = [[a, 0.0, 0.0], [0.0, b, 0.0], [0.0, 0.0, c]]
        else:
            cell = [args.cell[0:3], args.cell[3:6], args.cell[6:9]]
    started = time.perf_counter()
    structures, indices, frames_read = molvane.read_xyz_trajectory(
        args.file, args.every, args.start, args.stop, cell
    )
    show = sys.stderr.isatty()

    def progress(done: int, total: int) -> None:
        if show:
            rate = done / max(time.perf_counter() - started, 1e-9)
            print(f"\rframes read {frames_read}, used {done}/{total}, {rate:.1f} frames/s", end="", file=sys.stderr)

    r, partials, total = average_prdf(structures, args.cutoff, args.bin_size, args.threads, progress=progress)
    if show:
        print(file=sys.stderr)
    print(f"averaged {len(structures)} of {frames_read} frames (indices {indices[0]}..{indices[-1]})")
    density = sum(s.n_atoms / s.volume for s in structures) / len(structures)
    save_outputs(r, partials, total, args, density, Path(args.file).stem)
    print_pair_table(r, partials, args.bin_size)
    return 0


def cmd_expand(args: argparse.Namespace) -> int:
    s = read_structure(args.file, args.format)
    ordered, report = s.expand_occupancies(args.max_sites, args.seed, args.max_denominator)
    print_expansion_report(report)
    comment = f"{formula(ordered)} expanded from {Path(args.file).name} seed {args.seed}"
    write(args.output, ordered, "poscar", comment=comment)
    print(f"wrote {args.output} ({ordered.n_sites} sites)")
    return 0


# --- argument parsing ---


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0 or not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text}")
    return value


def count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a count of 0 or more, got {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    fmt = argparse.ArgumentDefaultsHelpFormatter
    parser = argparse.ArgumentParser(
        prog="molvane", description="Radial distribution functions of crystals, disorder included.", formatter_class=fmt
    )
    parser.add_argument("--version", action="version", version=f"molvane {molvane.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add_format(p: argparse.ArgumentParser) -> None:
        p.add_argument("--format", choices=FORMATS, help="file format (default: from the file name)")

    def add_rdf_options(p: argparse.ArgumentParser) -> None:
        p.add_argument("--cutoff", type=positive_float, default=DEFAULTS["cutoff"], help="largest distance, in A")
        p.add_argument("--bin-size", type=positive_float, default=DEFAULTS["bin_size"], help="histogram bin width, in A")
        p.add_argument("--threads", type=count, default=0, help="worker threads (0: all available)")
        p.add_argument("--out", help="output folder (default: <input name>_rdf)")
        p.add_argument("--title", help="figure title (default: the input name)")

    def add_expand_options(p: argparse.ArgumentParser) -> None:
        p.add_argument("--seed", type=count, default=DEFAULTS["seed"], help="seed of the reproducible placement")
        p.add_argument("--max-sites", type=count, default=DEFAULTS["max_sites"], help="largest supercell, in sites")
        p.add_argument("--max-denominator", type=count, default=DEFAULTS["max_denominator"], help="largest denominator for occupancies")

    p = sub.add_parser("info", help="summarise a structure file", formatter_class=fmt)
    p.add_argument("file")
    add_format(p)
    p.set_defaults(run=cmd_info)

    p = sub.add_parser("rdf", help="partial and total RDF of a structure", formatter_class=fmt)
    p.add_argument("file")
    add_format(p)
    add_rdf_options(p)
    p.add_argument("--expand", action="store_true", help="order the structure first (expand occupancies)")
    add_expand_options(p)
    p.set_defaults(run=cmd_rdf)

    p = sub.add_parser("traj", help="RDF averaged over the frames of an XYZ trajectory", formatter_class=fmt)
    p.add_argument("file")
    p.add_argument("--every", type=count, default=1, help="keep every n-th frame")
    p.add_argument("--start", type=count, default=0, help="first frame to keep")
    p.add_argument("--stop", type=count, default=None, help="stop reading before this frame")
    p.add_argument("--cell", type=float, nargs="+", metavar="X",
                   help="cell for frames without a Lattice: a b c, or the nine numbers of rows a, b, c")
    add_rdf_options(p)
    p.set_defaults(run=cmd_traj)

    p = sub.add_parser("expand", help="write an ordered supercell as a VASP POSCAR", formatter_class=fmt)
    p.add_argument("file")
    add_format(p)
    add_expand_options(p)
    p.add_argument("-o", "--output", required=True, help="POSCAR file to write")
    p.set_defaults(run=cmd_expand)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except BrokenPipeError:
        # The reader of our output went away (for example `| head`).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (ValueError, OSError, ImportError) as exc:
        print(f"molvane: error: {exc}", file=sys.stderr)
        return 2
