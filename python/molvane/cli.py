"""The `molvane` command: structure summaries, RDFs, trajectories, expansion."""

from __future__ import annotations

import argparse
import contextlib
import inspect
import math
import os
import re
import sys
import time
import warnings
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any, Literal, NoReturn, TextIO

import molvane
from molvane.disorder import pair_counts
from molvane.analysis import RDF, number_density
from molvane.interop import occupancy_changes
from molvane.io import FORMATS, cell_parameters, detect_format, read, write
from molvane.scattering import WEIGHT_SCHEMES


class OptionError(ValueError):
    """A refused option value; its message names the option, not the input file."""


AVOGADRO = 6.02214076e23  # per mol, exact in the SI
# Above about this many atom pairs within the cutoff an RDF takes seconds.
LONG_RUN_PAIRS = 2e8
FIGURE_FORMATS = ("png", "svg", "pdf")

# Hints of the library written for Python callers, and the same hints as flags.
FLAG_HINTS = [("(choose a block with block=)", "(choose a block with --block)"),
              ("so pass cell=[[a],[b],[c]]", "so pass --cell a b c (or the nine numbers of rows a, b, c)")]


def as_flags(text: str) -> str:
    """A library message with its Python hints written as command-line flags."""
    for python, flag in FLAG_HINTS:
        text = text.replace(python, flag)
    return text


def show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                 file: TextIO | None = None, line: str | None = None) -> None:
    """Prints a warning as one line `molvane: warning: ...`."""
    print(f"molvane: warning: {as_flags(str(message))}", file=sys.stderr)


def check_input(path: str) -> None:
    """Refuses what no reader can take, saying what it is: a folder or a
    compressed file."""
    if os.path.isdir(path):
        raise ValueError(f"{path} is a folder; give a structure file")
    with contextlib.suppress(OSError), open(path, "rb") as handle:
        magic = handle.read(4)
        for prefix, kind, tool in [(b"\x1f\x8b", "gzip", "gunzip -k"), (b"BZh", "bzip2", "bunzip2 -k"),
                                   (b"\xfd7zX", "xz", "unxz -k"), (b"PK\x03\x04", "zip", "unzip")]:
            if magic.startswith(prefix):
                raise ValueError(f"{path} is {kind}-compressed; decompress it first ({tool} {path})")


def read_structure(path: str, fmt: str | None = None, block: str | int | None = None) -> molvane.Structure:
    check_input(path)
    fmt = fmt or detect_format(path, hint="--format cif, poscar or xyz")
    if block is not None and fmt != "cif":
        raise OptionError("--block chooses a data block of a CIF; this file is read as " + fmt)
    return read(path, fmt) if block is None else read(path, fmt, block=block)


def formula(structure: molvane.Structure) -> str:
    parts = []
    for element, amount in structure.composition.items():
        rounded = round(amount)
        text = str(int(rounded)) if abs(amount - rounded) < 1e-9 else f"{amount:.4f}"
        parts.append(f"{element}{text}")
    return " ".join(parts)


def print_pair_table(result: RDF, out: TextIO | None = None, pairs: Sequence[tuple[str, str]] | None = None) -> None:
    """First shell of every unordered pair A-B of an RDF result (or of the
    given `pairs`), to ``out`` (default: sys.stdout as it is at the call):
    where the peak and the minimum after it are (the same seen from A or from
    B), and the coordination number each way: B atoms around an A, A atoms
    around a B."""
    out = out or sys.stdout
    print(f"{'pair A-B':<12} {'first peak (A)':>15} {'first min (A)':>14} {'B around A':>11} {'A around B':>11}",
          file=out)
    for a, b in pairs or [(a, b) for a, b in result.pairs if a <= b]:
        shell, back = result.first_shell(a, b), result.first_shell(b, a)
        peak = "-" if shell is None else f"{shell.peak:.3f}"
        minimum = "-" if shell is None or shell.minimum is None else f"{shell.minimum:.3f}"
        counts = ["-" if s is None or s.coordination is None else f"{s.coordination:.3f}" for s in (shell, back)]
        print(f"{f'{a}-{b}':<12} {peak:>15} {minimum:>14} {counts[0]:>11} {counts[1]:>11}", file=out)


def print_expansion_report(report: Mapping[str, Any], out: TextIO | None = None) -> None:
    """The supercell, then every occupancy with the change the whole atoms
    made to it, then the warnings."""
    out = out or sys.stdout
    n = report["scale"]
    print(f"expanded into a {n[0]}x{n[1]}x{n[2]} supercell, {report['n_vacancies']} vacancies", file=out)
    rows = report["occupancy_report"]
    if rows:
        print(f"  {'element':<8} {'target':>8} {'actual':>8} {'change':>8} {'placed':>7} {'of sites':>9}", file=out)
        for row in rows:
            change = row["actual_occupancy"] - row["target_occupancy"]
            print(
                f"  {row['element']:<8} {row['target_occupancy']:>8.4f} {row['actual_occupancy']:>8.4f}"
                f" {change:>+8.4f} {row['atoms_placed']:>7} {row['sites_in_pool']:>9}",
                file=out,
            )
    for warning in report["warnings"]:
        print(f"molvane: warning: {warning}", file=sys.stderr)
    changed = len(occupancy_changes(report))
    if changed and not report["warnings"]:
        print(f"molvane: warning: {changed} occupanc{'y' if changed == 1 else 'ies'} changed by the expansion "
              "(see the change column)", file=sys.stderr)


def save_outputs(result: RDF, args: argparse.Namespace, default_name: str,
                 kind: str) -> RDF:
    """Figures and CSV of an RDF result into --out (default <input>_<kind>)."""
    from molvane.plotting import CSV_NAME

    note = None
    if args.smear is not None:
        if args.smear < 2 * args.bin_size:
            warnings.warn(f"--smear {args.smear:g} is below two bins of {args.bin_size:g} A, so the curves stay "
                          f"jagged; use --smear {2 * args.bin_size:g} or more, or a smaller --bin-size", stacklevel=2)
        result = result.smeared(args.smear)
        note = f"smeared by a Gaussian of σ = {args.smear:g} Å"
    quantity: Literal["g", "density"] = "density" if args.density and not args.weights else "g"
    out_dir = Path(args.out or f"{default_name}_{kind}")
    title = args.title if args.title is not None else default_name
    files = result.plot(out_dir, title=title, quantity=quantity, weights=args.weights, note=note,
                        dpi=args.dpi, figure_format=args.figure_format, only=shown_pairs(args.show))
    files.append(result.to_csv(out_dir / CSV_NAME, quantity=quantity, weights=args.weights))
    for f in files:
        print(f"wrote {f}")
    return result


# --- subcommands ---


def mass_density(s: molvane.Structure) -> float | None:
    """Mass density in g/cm^3 from the standard atomic masses of the
    periodictable package, or None without it (or for a symbol it lacks)."""
    try:
        import periodictable
    except ImportError:
        return None
    try:
        mass = sum(amount * periodictable.elements.symbol(e).mass for e, amount in s.composition.items())
    except ValueError:
        return None
    return float(mass) / AVOGADRO / (s.volume * 1e-24)


def cmd_info(args: argparse.Namespace) -> int:
    s = read_structure(args.file, args.format, args.block)
    lengths, angles = cell_parameters(s.lattice_matrix)
    print(f"file:           {args.file}")
    print(f"sites:          {s.n_sites}")
    print(f"formula:        {formula(s)}")
    print("cell lengths:   a={:.5f}  b={:.5f}  c={:.5f}  (A)".format(*lengths))
    print("cell angles:    alpha={:.4f}  beta={:.4f}  gamma={:.4f}  (deg)".format(*angles))
    print(f"volume:         {s.volume:.5f} A^3")
    print(f"number density: {number_density(s):.6f} atoms/A^3")
    grams = mass_density(s)
    if grams is not None:
        print(f"density:        {grams:.4f} g/cm^3")
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


def print_pair_counts(s: molvane.Structure) -> None:
    """One line: how many pairs of partial positions exclude one another,
    come together, or are too close yet stay independent."""
    exclusive, together, unresolved = pair_counts(s)
    print(f"pairs: {exclusive} exclusive, {together} together, {unresolved} too close but "
          "left independent (molvane.exclusions lists them; --pairs independent weights all by o_i o_j)")


def cmd_rdf(args: argparse.Namespace) -> int:
    s = read_structure(args.file, args.format, args.block)
    if args.expand:
        s, report = s.expand_occupancies(args.max_sites, args.seed, args.max_denominator)
        print_expansion_report(report)
    elif not s.is_ordered:
        print("note: the structure is disordered; curves are weighted by occupancy (use --expand to order it)")
        if args.pairs == "physical":
            print_pair_counts(s)
    pairs = s.n_atoms * number_density(s) * 4 / 3 * math.pi * args.cutoff**3
    if pairs > LONG_RUN_PAIRS:
        print(f"note: about {pairs:.1e} atom pairs lie within the cutoff; this takes a while", file=sys.stderr)
    result = molvane.rdf(s, args.cutoff, args.bin_size, args.threads, pairs=args.pairs)
    print(f"{s.n_sites} sites, cutoff {args.cutoff:g} A, bin size {args.bin_size:g} A")
    result = save_outputs(result, args, Path(args.file).stem, "rdf")
    print_pair_table(result, pairs=args.show)
    if args.smear is None and not args.density:
        hint = "--smear 0.05" if args.bin_size <= 0.025 else "--smear 0.05 --bin-size 0.02"
        print(f"note: a static structure gives one spike per shell; {hint} broadens them as thermal motion would")
    return 0


class FrameProgress:
    """Frames done (of frames selected, once known) and their rate on a
    terminal: a tqdm bar when tqdm is installed, else one line of our own."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.started = time.perf_counter()
        self.shown = 0.0
        try:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            self.bar: Any = None
        else:
            self.bar = tqdm(total=None, unit=" frames", file=stream, dynamic_ncols=True, leave=False)

    def __call__(self, done: int, total: int | None) -> None:
        if self.bar is not None:
            if total != self.bar.total:
                self.bar.total = total
            self.bar.update(done - self.bar.n)
            return
        now = time.perf_counter()
        if now - self.shown < 0.2:
            return
        self.shown = now
        rate = done / max(now - self.started, 1e-9)
        of = f"/{total}" if total is not None else ""
        print(f"\r{done}{of} frames, {rate:.1f} frames/s", end="", file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        else:
            print("\r\033[K", end="", file=self.stream, flush=True)


def check_trajectory(path: str) -> None:
    """Refuses a structure file (or a folder, or a compressed file) given to
    `traj`, pointing at `rdf`."""
    check_input(path)
    try:
        fmt = detect_format(path)
    except ValueError:
        return  # any other name may hold a trajectory
    if fmt != "xyz":
        raise ValueError(f"traj reads XYZ trajectories, and {path} is named as a {fmt.upper()} file; "
                         f"for one structure use: molvane rdf {path}")


def note_short_box(path: str, args: argparse.Namespace, cell: list[list[float]] | None) -> None:
    """A note when the cutoff reaches past half the shortest box height of
    the first frame kept: each atom then meets its own periodic images."""
    with contextlib.suppress(ValueError, OSError), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        frame = next(molvane.iread(path, start=args.start, stop=args.start + 1, cell=cell))
        m = frame.lattice_matrix
        cross = [[u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]
                 for u, v in ((m[1], m[2]), (m[2], m[0]), (m[0], m[1]))]
        heights = [frame.volume / math.sqrt(sum(c * c for c in w)) for w in cross]
        shortest = min(heights)
        if args.cutoff > shortest / 2:
            print(f"note: the cutoff {args.cutoff:g} A is beyond half the shortest box height ({shortest / 2:.4g} A):"
                  f" atoms meet their own periodic images (at {shortest:.4g} A); MD analyses usually stop at half"
                  " the box")


def cmd_traj(args: argparse.Namespace) -> int:
    check_trajectory(args.file)
    cell = None
    if args.cell is not None:
        if len(args.cell) not in (3, 9):
            raise OptionError("--cell takes 3 edge lengths (orthorhombic) or 9 numbers (rows a, b, c)")
        if len(args.cell) == 3:
            a, b, c = args.cell
            cell = [[a, 0.0, 0.0], [0.0, b, 0.0], [0.0, 0.0, c]]
        else:
            cell = [args.cell[0:3], args.cell[3:6], args.cell[6:9]]
    if args.workers is not None and args.scheduler is not None:
        raise OptionError("--workers starts a local cluster and --scheduler uses a running one: give one of them")
    cluster: contextlib.AbstractContextManager[Any] = contextlib.nullcontext()
    if args.workers is not None or args.scheduler is not None:
        from molvane.distributed import open_client

        cluster = open_client(args.workers, args.scheduler)
    note_short_box(args.file, args, cell)
    progress = FrameProgress(sys.stderr) if sys.stderr.isatty() else None
    try:
        with cluster as client:
            result = molvane.rdf_average(args.file, args.cutoff, args.bin_size, args.threads, start=args.start,
                                         stop=args.stop, every=args.every, cell=cell, client=client,
                                         frames_per_task=args.frames_per_task, progress=progress)
    finally:
        if progress is not None:
            progress.close()
    last = args.start + args.every * (result.n_frames - 1)
    print(f"averaged {result.n_frames} of {result.frames_read} frames (indices {args.start}..{last})")
    result = save_outputs(result, args, Path(args.file).stem, "traj")
    print_pair_table(result, pairs=args.show)
    return 0


def cmd_expand(args: argparse.Namespace) -> int:
    try:
        fmt = detect_format(args.output, hint="-o a name ending in .cif, .vasp, .poscar or .xyz, or named POSCAR*")
    except ValueError as exc:
        raise OptionError(str(exc)) from None
    s = read_structure(args.file, args.format, args.block)
    ordered, report = s.expand_occupancies(args.max_sites, args.seed, args.max_denominator)
    print_expansion_report(report)
    options = {}
    if fmt == "poscar":
        options["comment"] = f"{formula(ordered)} expanded from {Path(args.file).name} seed {args.seed}"
    elif fmt == "cif":
        options["name"] = Path(args.output).stem
    write(args.output, ordered, fmt, **options)
    print(f"wrote {args.output} ({ordered.n_sites} sites)")
    return 0


# --- argument parsing ---


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0 or not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text}")
    return value


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a count of 1 or more, got {text}")
    return value


def block_choice(text: str) -> str | int:
    """A data block by index (an integer, negative from the end) or by name."""
    try:
        return int(text)
    except ValueError:
        return text


def pair_list(text: str) -> list[tuple[str, str]]:
    """Element pairs written A-B, separated by commas: "Mg-O,Fe-O"."""
    pairs = []
    for item in text.split(","):
        a, dash, b = item.strip().partition("-")
        if not (dash and a and b):
            raise argparse.ArgumentTypeError(f"expected element pairs such as Mg-O,Fe-O, got {text}")
        pairs.append((a, b))
    return pairs


def shown_pairs(pairs: Sequence[tuple[str, str]] | None) -> list[tuple[str, str]] | None:
    """The curves of the partials figure for --show: each pair seen from both ends."""
    return None if pairs is None else [p for a, b in pairs for p in ((a, b), (b, a))]


def count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a count of 0 or more, got {text}")
    return value


class HelpFormatter(argparse.HelpFormatter):
    """Appends "(default: ...)" to options whose help does not state the
    default itself, except required options and those without a value."""

    def _get_help_string(self, action: argparse.Action) -> str:
        text = action.help or ""
        if (action.required or any(action.default is v for v in (None, False, argparse.SUPPRESS))
                or "default" in text or not action.option_strings):
            return text
        return f"{text} (default: %(default)s)"


class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line `molvane: error: ...`, status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"molvane: error: {message}\n")


def defaults_of(function: Callable[..., object], *names: str) -> dict[str, Any]:
    """Defaults of the named parameters of a public call, from its signature."""
    params = inspect.signature(function).parameters
    return {name: params[name].default for name in names}


DEFAULTS = {**defaults_of(molvane.rdf, "cutoff", "bin_size"),
            **defaults_of(molvane.Structure.expand_occupancies, "max_sites", "seed", "max_denominator")}


# --- pdf ---


def uiso_option(text: str) -> dict[str, float] | float:
    """--uiso: one U_iso for every element, or EL=U pairs separated by commas."""
    if "=" not in text:
        return positive_float(text)
    out = {}
    for item in text.split(","):
        element, _, value = item.partition("=")
        if not element.strip() or not value:
            raise argparse.ArgumentTypeError(f"expected EL=U pairs such as Ni=0.005,O=0.008, got {text}")
        out[element.strip()] = positive_float(value)
    return out


def add_pdf_parser(sub: Any, fmt: type[argparse.HelpFormatter]) -> None:
    p = sub.add_parser("pdf", help="G(r) from displacement parameters, to compare with a measured PDF",
                       formatter_class=fmt)
    p.add_argument("file")
    add_format = p.add_argument
    add_format("--format", choices=FORMATS, help="file format (default: from the file name)")
    p.add_argument("--rmin", type=float, default=0.0, help="first grid point, in A")
    p.add_argument("--rmax", type=positive_float, default=30.0, help="last grid point, in A")
    p.add_argument("--rstep", type=positive_float, default=0.01, help="grid spacing, in A")
    p.add_argument("--scattering", choices=("xray", "neutron"), default="xray", help="weights of the atoms")
    p.add_argument("--qmax", type=positive_float, help="cut off at this Q, in 1/A, with its ripples (default: none)")
    p.add_argument("--qdamp", type=float, default=0.0, help="damping exp(-(qdamp r)^2/2) of the Q resolution, in 1/A")
    p.add_argument("--qbroad", type=float, default=0.0, help="peak broadening growing with r, in 1/A")
    p.add_argument("--delta1", type=float, default=0.0, help="correlated-motion sharpening delta1/r, in A")
    p.add_argument("--delta2", type=float, default=0.0, help="correlated-motion sharpening delta2/r^2, in A^2")
    p.add_argument("--uiso", type=uiso_option, metavar="U|EL=U,...",
                   help="U_iso in A^2 for every element or per element, replacing the file's values")
    p.add_argument("--pairs", choices=("physical", "independent"), default="physical", help="pair weights")
    p.add_argument("--data", metavar="MEASURED.gr", help="measured G(r) to overlay; prints Rw")
    p.add_argument("--threads", type=count, default=0, help="worker threads (0: all available)")
    p.add_argument("--out", help="output folder (default: <input name>_pdf)")
    p.set_defaults(run=cmd_pdf)


def cmd_pdf(args: argparse.Namespace) -> int:
    s = read_structure(args.file, args.format)
    uiso = args.uiso
    if isinstance(uiso, float):
        uiso = {element: uiso for element in s.elements}
    try:
        result = molvane.pdf(s, args.rmin, args.rmax, args.rstep, scattering=args.scattering, qmax=args.qmax,
                             qdamp=args.qdamp, qbroad=args.qbroad, delta1=args.delta1, delta2=args.delta2,
                             uiso=uiso, pairs=args.pairs, n_threads=args.threads)
    except ValueError as exc:
        # The library asks for its `uiso` argument; here that is the option.
        text = str(exc)
        if text.endswith("; give uiso"):
            raise ValueError(text.removesuffix("uiso") + "--uiso U or --uiso EL=U,... (in A^2)") from None
        raise
    if args.pairs == "physical" and not s.is_ordered:
        print_pair_counts(s)
    stem = Path(args.file).stem
    folder = Path(args.out or f"{stem}_pdf")
    folder.mkdir(parents=True, exist_ok=True)
    print(f"{s.n_sites} sites, r {result.r[0]:g}..{result.r[-1]:g} A in {len(result.r)} points, {args.scattering}")
    print(f"wrote {result.to_csv(folder / f'{stem}_pdf.csv')}")
    print(f"wrote {result.write_gr(folder / f'{stem}.gr')}")
    if args.data:
        print(f"Rw = {result.rw(args.data):.4f} against {args.data}")
    print(f"wrote {result.plot(folder / f'{stem}_pdf.png', data=args.data, title=stem)}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    fmt = HelpFormatter
    parser = Parser(
        prog="molvane", description="Radial distribution functions of crystals, disorder included.", formatter_class=fmt
    )
    parser.add_argument("--version", action="version", version=f"molvane {molvane.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    def add_format(p: argparse.ArgumentParser) -> None:
        p.add_argument("--format", choices=FORMATS, help="file format (default: from the file name)")
        p.add_argument("--block", type=block_choice, metavar="NAME|INDEX",
                       help="data block of a CIF to read, by name or index (default: the first with atom sites)")

    def add_rdf_options(p: argparse.ArgumentParser, kind: str) -> None:
        p.add_argument("--cutoff", type=positive_float, default=DEFAULTS["cutoff"], help="largest distance, in A")
        p.add_argument("--bin-size", type=positive_float, default=DEFAULTS["bin_size"], help="histogram bin width, in A")
        p.add_argument("--threads", type=count, default=0, help="worker threads (0: all available)")
        p.add_argument("--density", action="store_true",
                       help="write local densities in atoms/A^3 instead of conventional curves g(r), tending to 1")
        p.add_argument("--g", action="store_true", help=argparse.SUPPRESS)  # g(r) is the default now
        p.add_argument("--weights", choices=WEIGHT_SCHEMES,
                       help="add the total weighted as a neutron or X-ray experiment sees it (draws g(r))")
        p.add_argument("--smear", type=positive_float, metavar="SIGMA",
                       help="broaden every curve by a Gaussian of this width, in A")
        p.add_argument("--out", help=f"output folder (default: <input name>_{kind})")
        p.add_argument("--title", help="figure title (default: the input name)")
        p.add_argument("--show", type=pair_list, metavar="A-B,...",
                       help="only these element pairs in the table and the partials figure (default: all)")
        p.add_argument("--dpi", type=positive_int, default=150, help="resolution of PNG figures, in dots per inch")
        p.add_argument("--figure-format", choices=FIGURE_FORMATS, default="png",
                       help="figure file type; svg and pdf are vector graphics")

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
    add_rdf_options(p, "rdf")
    p.add_argument("--expand", action="store_true", help="order the structure first (expand occupancies)")
    p.add_argument("--pairs", choices=("physical", "independent"), default="physical",
                   help="weight positions that cannot be filled together by 0 and atoms of one disorder group "
                        "together (physical), or every pair by the product of its occupancies (independent)")
    add_expand_options(p)
    p.set_defaults(run=cmd_rdf)

    traj = defaults_of(molvane.read_xyz_trajectory, "every", "start", "stop")
    p = sub.add_parser("traj", help="RDF averaged over the frames of an XYZ trajectory", formatter_class=fmt)
    p.add_argument("file")
    p.add_argument("--every", type=count, default=traj["every"], help="keep every n-th frame")
    p.add_argument("--start", type=count, default=traj["start"], help="first frame to keep")
    p.add_argument("--stop", type=count, default=traj["stop"], help="stop reading before this frame (default: the end)")
    p.add_argument("--cell", type=float, nargs="+", metavar="X",
                   help="cell for frames without a Lattice: a b c, or the nine numbers of rows a, b, c")
    p.add_argument("--workers", type=positive_int, metavar="N",
                   help="average on a local Dask cluster of N worker processes (needs molvane[dask])")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="average on the running Dask cluster at ADDRESS, e.g. tcp://host:8786; the workers "
                        "must see the file at the same path")
    p.add_argument("--frames-per-task", type=positive_int, metavar="N",
                   help="frames in each Dask task (default: a few tasks per worker thread)")
    add_rdf_options(p, "traj")
    p.set_defaults(run=cmd_traj)

    p = sub.add_parser("expand", help="write an ordered supercell (POSCAR, CIF or extended XYZ)", formatter_class=fmt)
    p.add_argument("file")
    add_format(p)
    add_expand_options(p)
    p.add_argument("-o", "--output", required=True,
                   help="file to write, in the format its name says: .cif, .xyz, or a POSCAR (.vasp, .poscar, POSCAR*)")
    p.set_defaults(run=cmd_expand)
    add_pdf_parser(sub, fmt)
    return parser


def error_line(exc: BaseException, path: str | None) -> str:
    """`molvane: error: ...` for an exception, naming the input file unless
    the message does."""
    text = as_flags(str(exc))
    named = path is not None and re.search(rf"(^|\s){re.escape(path)}(:|\s|$)", text)
    if path is not None and not named and not isinstance(exc, (ImportError, OptionError)):
        text = f"{path}: {text}"
    return f"molvane: error: {text}"


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with the arguments ``argv`` (default: those of the
    process) and returns its exit status: 0, or 2 after printing an error."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    run: Callable[[argparse.Namespace], int] = args.run
    with warnings.catch_warnings():
        warnings.showwarning = show_warning
        try:
            return run(args)
        except BrokenPipeError:
            # The reader of our output went away (for example `| head`).
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 0
        except (ValueError, OSError, ImportError) as exc:
            print(error_line(exc, getattr(args, "file", None)), file=sys.stderr)
            return 2
