import argparse
import csv
import gzip
import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import molvane
from molvane.cli import build_parser, main

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def run(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "molvane", *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=300
    )


def test_info_of_disordered_cif():
    res = run("info", EXAMPLES / "ferropericlase.cif")
    assert res.returncode == 0, res.stderr
    if importlib.util.find_spec("periodictable") and importlib.util.find_spec("pymatgen"):
        from pymatgen.core import Structure as Pmg
        line = next(l for l in res.stdout.splitlines() if l.startswith("density:"))
        assert float(line.split()[1]) == pytest.approx(Pmg.from_file(EXAMPLES / "ferropericlase.cif").density,
                                                       rel=1e-4)
    assert "formula:        Fe0.8000 Mg3.2000 O4" in res.stdout
    assert "ordered:        no (4 partially occupied sites)" in res.stdout
    assert "Mg:0.8000 Fe:0.2000" in res.stdout


def test_rdf_writes_csv_and_reports_first_shell(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "out"
    res = run("rdf", EXAMPLES / "NaCl.cif", "--cutoff", 6, "--out", out, "--density")
    assert res.returncode == 0, res.stderr
    rows = list(csv.reader(open(next(out.glob("*.csv")))))
    assert rows[0][:4] == ["r", "r_left", "r_right", "rho_total"] and "rho_Cl_Na" in rows[0]
    assert len(rows) == 1 + 60
    # Rock salt: six unlike neighbours at a/2 around every atom, one row per unordered pair.
    table = [l.split() for l in res.stdout.splitlines() if l.startswith(("Cl-", "Na-"))]
    assert [row[0] for row in table] == ["Cl-Cl", "Cl-Na", "Na-Na"]
    peak, _, na_around_cl, cl_around_na = table[1][1:]
    assert float(peak) == pytest.approx(2.82, abs=0.05)
    assert float(na_around_cl) == float(cl_around_na) == pytest.approx(6.0)


def test_expand_writes_a_poscar_that_reads_back(tmp_path):
    target = tmp_path / "ordered.vasp"
    res = run("expand", EXAMPLES / "ferropericlase.cif", "--max-sites", 64, "-o", target)
    assert res.returncode == 0, res.stderr
    back = molvane.Structure.from_poscar(str(target))
    ordered, _ = molvane.Structure.from_cif(str(EXAMPLES / "ferropericlase.cif")).expand_occupancies(64, 42, 16)
    assert back.is_ordered and back.n_sites == ordered.n_sites
    # Rounding noise of the CIF cell (1e-16 where the value is 0) is not written.
    assert back.lattice_matrix == [[8.456, 0, 0], [0, 8.456, 0], [0, 0, 8.456]]
    assert max(abs(x - y) for r1, r2 in zip(back.lattice_matrix, ordered.lattice_matrix)
               for x, y in zip(r1, r2)) < 1e-12
    pairs = lambda s: sorted((next(iter(sp)), tuple(c)) for sp, c in zip(s.species, s.frac_coords))
    for (e1, c1), (e2, c2) in zip(pairs(back), pairs(ordered)):
        assert e1 == e2 and c1 == pytest.approx(c2, abs=1e-12)


@pytest.mark.parametrize("argv", [["rdf", "x.cif"], ["expand", "x.cif", "-o", "y"]])
def test_command_defaults_are_the_api_defaults(argv):
    args = build_parser().parse_args(argv)
    shared = {name: value for name, value in molvane._molvane._DEFAULTS.items() if hasattr(args, name)}
    assert len(shared) >= 3 and all(getattr(args, name) == value for name, value in shared.items())
    assert getattr(args, "threads", 0) == 0
    assert build_parser().parse_args(argv + ["--seed", "0", "--max-denominator", "0"]).seed == 0


def test_rdf_of_an_expanded_structure_with_weights(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("periodictable")
    res = run("rdf", EXAMPLES / "ferropericlase.cif", "--expand", "--max-sites", 64, "--max-denominator", 1,
              "--weights", "xray", "--cutoff", 4, "--out", tmp_path / "out")
    assert res.returncode == 0, res.stderr
    assert "expanded into a 1x1x1 supercell" in res.stdout  # no denominator above 1: no larger cell
    assert "note: a static structure gives one spike per shell" in res.stdout  # --weights draws g(r)


def test_traj_averages_frames(tmp_path):
    pytest.importorskip("matplotlib")
    res = run("traj", EXAMPLES / "argon.xyz", "--every", 2, "--cutoff", 5, "--out", tmp_path / "t")
    assert res.returncode == 0, res.stderr
    assert "averaged 3 of 6 frames" in res.stdout
    assert list((tmp_path / "t").glob("*.csv"))
    assert "note: the cutoff" not in res.stdout
    # Past half the cubic box (a = 10.52 A) an atom meets its own images: a note says so.
    res = run("traj", EXAMPLES / "argon.xyz", "--stop", 1, "--cutoff", 5.5, "--out", tmp_path / "t")
    assert "note: the cutoff 5.5 A is beyond half the shortest box height (5.26 A)" in res.stdout


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as handle:
        rows = list(csv.reader(handle))
    return rows[0], np.array(rows[1:], dtype=float)


def test_rdf_and_traj_defaults_match_the_api_and_keep_apart(tmp_path):
    """With no frame options `traj` averages what read_xyz_trajectory reads
    by default, and `rdf` of the same file writes to a folder of its own."""
    pytest.importorskip("matplotlib")
    path = EXAMPLES / "argon.xyz"
    for command in ("rdf", "traj"):
        res = run(command, path, "--cutoff", 5, cwd=tmp_path)  # g(r) by default
        assert res.returncode == 0, res.stderr
    structures, _, _ = molvane.read_xyz_trajectory(str(path))
    for folder, expected in [("argon_traj", molvane.rdf_average(structures, 5.0)),
                             ("argon_rdf", molvane.rdf(structures[0], 5.0))]:
        header, body = read_csv(tmp_path / folder / "rdf.csv")
        assert header == ["r", "r_left", "r_right", "g_total", "g_Ar_Ar"]
        assert np.array_equal(body[:, 4], expected.g("Ar", "Ar"))
        # distances without float noise: 0.15, not 0.15000000000000002
        assert np.allclose(body[:, 0], expected.r, rtol=0, atol=1e-14) and "\n0.15,0.1,0.2," in (
            tmp_path / folder / "rdf.csv").read_text()


def test_rdf_weighted_smeared_curves(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("periodictable")
    out = tmp_path / "fp"
    res = run("rdf", EXAMPLES / "ferropericlase.cif", "--weights", "neutron", "--smear", 0.1, "--out", out,
              "--show", "Mg-O")
    assert res.returncode == 0, res.stderr
    header, body = read_csv(out / "rdf.csv")
    assert header[3:6] == ["g_total", "g_neutron", "g_Fe_Fe"] and "g_O_Mg" not in header
    expected = molvane.rdf(molvane.Structure.from_cif(str(EXAMPLES / "ferropericlase.cif"))).smeared(0.1)
    assert np.array_equal(body[:, 4], expected.weighted("neutron"))
    # --show: that pair alone; 6 O around a Mg site, and 6 x 0.8 Mg around an O (Mg shares its site with Fe)
    rows = [l.split() for l in res.stdout.splitlines()[-2:]]
    assert rows[0][0] == "pair" and rows[1][0] == "Mg-O"
    assert [float(v) for v in rows[1][3:]] == pytest.approx([6.0, 4.8], abs=1e-3)


@pytest.mark.parametrize(
    "args, fragment",
    [
        (["info", "missing.cif"], "could not read missing.cif: No such file or directory (os error 2)"),
        (["info", "structure.txt"], "cannot tell the format of structure.txt"),
        (["rdf", "bad.cif"], "molvane: error: bad.cif: missing _cell_length_b"),
        (["rdf", "."], "molvane: error: . is a folder; give a structure file"),
        (["info", "x.cif.gz"], "x.cif.gz is gzip-compressed; decompress it first (gunzip -k x.cif.gz)"),
        (["traj", "bad.cif"], "traj reads XYZ trajectories, and bad.cif is named as a CIF file"),
        (["expand", "bad.cif", "-o", "out"], "error: cannot tell the format of out from its name; give -o a name"),
        (["rdf", "bad.cif", "--cutoff", "-1"], "argument --cutoff: expected a positive number, got -1"),
        (["rdf", "bad.cif", "--bin-size", "0"], "argument --bin-size: expected a positive number, got 0"),
        (["expand", "bad.cif", "-o", "x", "--seed", "-1"], "argument --seed: expected a count of 0 or more, got -1"),
        (["traj"], "the following arguments are required: file"),
    ],
)
def test_errors_are_one_line_with_status_2(tmp_path, args, fragment):
    (tmp_path / "bad.cif").write_text("data_x\n_cell_length_a 3\n")
    (tmp_path / "structure.txt").write_text("")
    (tmp_path / "x.cif.gz").write_bytes(gzip.compress(b"data_x\n"))
    res = run(*args, cwd=tmp_path)
    assert res.returncode == 2
    assert res.stderr.startswith("molvane: error: ") and fragment in res.stderr
    assert res.stderr.count("\n") == 1 and "Traceback" not in res.stderr


@pytest.mark.parametrize("command", ["info", "rdf", "traj", "expand"])
def test_help_shows_each_default_once(command, capsys):
    with pytest.raises(SystemExit):
        main([command, "--help"])
    text = capsys.readouterr().out
    assert "(default: None)" not in text and "(default: False)" not in text
    sub = build_parser()._subparsers._group_actions[0].choices[command]
    formatter = sub._get_formatter()
    for action in sub._actions:
        if action.help is None or action.help is argparse.SUPPRESS:
            continue
        entry = formatter._expand_help(action)
        valued = not any(action.default is v for v in (None, False, argparse.SUPPRESS))
        expected = 0 if action.required else 1 if valued or "default" in action.help else 0
        assert entry.count("default") == expected, entry
    if command == "rdf":
        assert "(default: 10.0)" in text


def test_warnings_are_one_line_with_hints_as_flags(tmp_path, corpus):
    two_blocks = corpus / "cif/2-entries-AMCSD-cifdata.cif"
    res = run("info", two_blocks)
    assert res.stderr == ("molvane: warning: read the first data block with atom sites and ignored 1 later one: "
                          "'global_00002' (choose a block with --block)\n")
    second = run("info", two_blocks, "--block", 1)
    assert second.stderr == "" and second.stdout != res.stdout
    res = run("traj", corpus / "traj/trajectory.xyz", "--out", tmp_path)
    assert res.stderr.endswith("needs the cell, so pass --cell a b c (or the nine numbers of rows a, b, c)\n")
    pytest.importorskip("matplotlib")
    res = run("rdf", EXAMPLES / "NaCl.cif", "--cutoff", 4, "--smear", 0.05, "--out", tmp_path / "n")
    assert res.returncode == 0 and res.stderr == (
        "molvane: warning: --smear 0.05 is below two bins of 0.1 A, so the curves stay jagged; "
        "use --smear 0.2 or more, or a smaller --bin-size\n")


def test_bare_command_prints_usage(capsys):
    assert main([]) == 2
    assert capsys.readouterr().err.startswith("usage: molvane")


@pytest.mark.parametrize("name", ["out.cif", "out.xyz"])
def test_expand_writes_the_format_its_output_name_says(tmp_path, name):
    res = run("expand", EXAMPLES / "ferropericlase.cif", "--max-sites", 64, "-o", tmp_path / name)
    assert res.returncode == 0, res.stderr
    # 0.2 of 32 sites is 6.4 atoms: 6 placed, 0.1875, shown with its change
    assert "Fe         0.2000   0.1875  -0.0125       6        32" in res.stdout
    ordered, _ = molvane.read(EXAMPLES / "ferropericlase.cif").expand_occupancies(64)
    assert molvane.same_structure(molvane.read(tmp_path / name), ordered, tol=1e-12)
