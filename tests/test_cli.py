import csv
import subprocess
import sys
from pathlib import Path

import pytest

import molvane
from molvane.cli import first_shell, main

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def run(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "molvane", *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=300
    )


def test_info_of_disordered_cif():
    res = run("info", EXAMPLES / "ferropericlase.cif")
    assert res.returncode == 0, res.stderr
    assert "formula:        Fe0.8000 Mg3.2000 O4" in res.stdout
    assert "ordered:        no (4 partially occupied sites)" in res.stdout
    assert "Mg:0.8000 Fe:0.2000" in res.stdout


def test_rdf_writes_csv_and_reports_first_shell(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "out"
    res = run("rdf", EXAMPLES / "NaCl.cif", "--cutoff", 6, "--out", out)
    assert res.returncode == 0, res.stderr
    rows = list(csv.reader(open(next(out.glob("*.csv")))))
    assert rows[0][:2] == ["r", "g_total"] and "g_Cl_Na" in rows[0]
    assert len(rows) == 1 + 60
    # Rock salt: six unlike neighbours at a/2 around every atom.
    line = next(l for l in res.stdout.splitlines() if l.startswith("Na-Cl"))
    peak, _, cn = line.split()[1:]
    assert float(peak) == pytest.approx(2.82, abs=0.05)
    assert float(cn) == pytest.approx(6.0)


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


def test_traj_averages_frames(tmp_path):
    pytest.importorskip("matplotlib")
    res = run("traj", EXAMPLES / "argon.xyz", "--every", 2, "--cutoff", 5, "--out", tmp_path / "t")
    assert res.returncode == 0, res.stderr
    assert "averaged 3 of 6 frames" in res.stdout
    assert list((tmp_path / "t").glob("*.csv"))


@pytest.mark.parametrize(
    "args, fragment",
    [
        (["info", "missing.cif"], "could not read missing.cif: No such file or directory (os error 2)"),
        (["info", "structure.txt"], "cannot tell the format of structure.txt"),
        (["rdf", "bad.cif"], "molvane: error: "),
    ],
)
def test_errors_are_one_line_with_status_2(tmp_path, args, fragment):
    (tmp_path / "bad.cif").write_text("data_x\n_cell_length_a 3\n")
    (tmp_path / "structure.txt").write_text("")
    res = run(*args, cwd=tmp_path)
    assert res.returncode == 2
    assert res.stderr.startswith("molvane: error: ") and fragment in res.stderr
    assert res.stderr.count("\n") == 1 and "Traceback" not in res.stderr


def test_help_shows_defaults(capsys):
    with pytest.raises(SystemExit):
        main(["rdf", "--help"])
    assert "(default: 10.0)" in capsys.readouterr().out


@pytest.mark.parametrize(
    "curve, expected",
    [
        ([0, 0, 1, 3, 2, 0, 0, 4], (3, 6, 6.0)),
        ([0, 0, 0], None),
        ([0, 2, 2, 1], (2, 3, 5.0)),
    ],
)
def test_first_shell(curve, expected):
    assert first_shell(curve, [1.0] * len(curve)) == expected
