"""Multi-frame XYZ trajectories through read_xyz_trajectory."""
import random
import threading
import time
import warnings

import pytest

import molvane
from molvane import ReadWarning, Structure, read_xyz_trajectory

UNIT = 'Lattice="1 0 0 0 1 0 0 0 1"'
CELL10 = [[10, 0, 0], [0, 10, 0], [0, 0, 10]]


def frame(i, comment='Lattice="10 0 0 0 10 0 0 0 10"', atoms=None):
    atoms = atoms if atoms is not None else [f"Si {i} 0 0", "O 0 0 1"]
    return "\n".join([str(len(atoms)), comment, *atoms]) + "\n"


@pytest.fixture
def write(tmp_path):
    def write(text, name="traj.xyz", mode="w"):
        path = tmp_path / name
        if mode == "wb":
            path.write_bytes(text)
        else:
            path.write_text(text, encoding="utf-8")
        return str(path)
    return write


@pytest.fixture
def ten(write):
    return write("".join(frame(i) for i in range(10)))


@pytest.mark.parametrize("kwargs, kept, frames_read", [
    ({}, list(range(10)), 10),
    ({"every": 3, "start": 1}, [1, 4, 7], 10),
    ({"stop": 5}, [0, 1, 2, 3, 4], 5),
    ({"start": 9}, [9], 10),
    ({"every": 4, "stop": 9}, [0, 4, 8], 9),
])
def test_frame_selection(ten, kwargs, kept, frames_read):
    structures, indices, n = read_xyz_trajectory(ten, **kwargs)
    assert indices == kept and n == frames_read
    assert [s.frac_coords[0][0] for s in structures] == pytest.approx([i / 10 for i in kept])


@pytest.mark.parametrize("kwargs, message", [
    ({"start": 20}, "the file has 10 frame(s) but none matched start/every/stop"),
    ({"start": 5, "stop": 3}, "the file has 3 frame(s) but none matched start/every/stop"),
    ({"stop": 0}, "no frames found in the file"),
    ({"every": 0}, "every must be at least 1"),
    ({"cell": [[1, 0, 0], [0, 1, 0]]}, "cell must be 3x3"),
    ({"cell": [[1, 0, 0], [0, 1, 0], [0, 0]]}, "cell must be 3x3"),
])
def test_selection_and_argument_failures(ten, kwargs, message):
    with pytest.raises(ValueError) as info:
        read_xyz_trajectory(ten, **kwargs)
    assert str(info.value) == message


def test_stop_ends_the_read_before_a_bad_tail(write):
    path = write(frame(0) + frame(1) + "trailing text\n")
    with pytest.raises(ValueError, match=r"^frame 2: expected an atom count, found 'trailing text'$"):
        read_xyz_trajectory(path)
    assert read_xyz_trajectory(path, stop=2)[1:] == ([0, 1], 2)


def test_arguments_checked_before_the_file_is_opened(tmp_path):
    missing = str(tmp_path / "missing.xyz")
    with pytest.raises(ValueError, match="^every must be at least 1$"):
        read_xyz_trajectory(missing, every=0)
    with pytest.raises(ValueError, match="^cell must be 3x3$"):
        read_xyz_trajectory(missing, cell=[[1, 0, 0]])
    with pytest.raises(ValueError) as info:
        read_xyz_trajectory(missing)
    assert str(info.value) == f"could not open {missing}: No such file or directory (os error 2)"
    with pytest.raises(ValueError) as info:
        read_xyz_trajectory(str(tmp_path))
    assert str(info.value) == "error reading the atom count: Is a directory (os error 21)"
    with pytest.raises(ValueError) as info:
        read_xyz_trajectory("a\0b")
    assert str(info.value) == "could not open a\0b: file name contained an unexpected NUL byte"


@pytest.mark.parametrize("args, kwargs, error", [
    ((b"x",), {}, TypeError),
    (("x",), {"every": 1.5}, TypeError),
    (("x",), {"start": -1}, OverflowError),
    (("x",), {"stop": 2**64}, OverflowError),
    (("x",), {"cell": "abc"}, TypeError),
    (("x", 1, 0, None, None, 5), {}, TypeError),
    (("x",), {"step": 1}, TypeError),
])
def test_argument_conversion_errors(args, kwargs, error):
    with pytest.raises(error):
        read_xyz_trajectory(*args, **kwargs)


def test_blank_lines_crlf_and_count_forms(write):
    text = "\n  \n" + frame(0) + "\n\n" + frame(1).replace("2\n", " +2 \n", 1) + "\n \n"
    path = write(text.replace("\n", "\r\n"))
    structures, indices, n = read_xyz_trajectory(path)
    assert indices == [0, 1] and structures[1].species == [{"Si": 1.0}, {"O": 1.0}]


@pytest.mark.parametrize("comment, atom, species, frac", [
    (UNIT + " Properties=species:S:1:pos:R:3", "Fe 0.5 0.25 0.125", "Fe", [0.5, 0.25, 0.125]),
    (UNIT + " properties=POS:R:3:Species:S:1", "0.5 0.25 0.125 fe", "Fe", [0.5, 0.25, 0.125]),
    (UNIT + " Properties=species:S:1:pos:R:3:forces:R:3", "Si4+ 0.5 0 0 1 2 3", "Si", [0.5, 0, 0]),
    (UNIT + " Properties=id:I:1:element:S:1:positions:R:3", "7 12 0.5 0 0", "12", [0.5, 0, 0]),
    ('LATTICE="2 0 0 0 2 0 0 0 2"', "O 1 1 1", "O", [0.5, 0.5, 0.5]),
    ('lattice="2 0 0 0 2 0 0 0 2" xlattice=5', "O 1 1 1", "O", [0.5, 0.5, 0.5]),
    ('energy=1\tLattice="2 0 0 0 2 0 0 0 2"', "O 3 0 0", "O", [1.5, 0, 0]),
    ("pbc=T", "O 1 1 1", "O", [0.1, 0.1, 0.1]),  # no Lattice: the cell argument
    ("pbc=T", "O\u00a01\u20031 1", "O", [0.1, 0.1, 0.1]),  # Unicode whitespace separates columns
    ("Lattice=2,0,0,0,2,0,0,0,2", "O 1 1 1", "O", [0.5, 0.5, 0.5]),
    ('Lattice="2, 0, 0, 0, 2, 0, 0, 0, 2"', "O 1 1 1", "O", [0.5, 0.5, 0.5]),
])
def test_comment_items_and_columns(write, comment, atom, species, frac):
    structures, _, _ = read_xyz_trajectory(write(frame(0, comment, [atom])), cell=CELL10)
    assert structures[0].species == [{species: 1.0}]
    assert structures[0].frac_coords == [pytest.approx(frac, abs=1e-15)]


NO_CELL = ('frame 0 has no Lattice="..." and no cell was given; an RDF of a periodic system needs the cell, '
           'so pass cell=[[a],[b],[c]]')


@pytest.mark.parametrize("text, message", [
    ("3.0\n", "frame 0: expected an atom count, found '3.0'"),
    (" -3 \n", "frame 0: expected an atom count, found '-3'"),
    (frame(0) + "3 atoms\n", "frame 1: expected an atom count, found '3 atoms'"),
    ("1\n", "frame 0 ends before its comment line"),
    ("3\n" + UNIT + "\nSi 0 0 0\n", "frame 0 ends after 1 of 3 atoms"),
    ("18446744073709551615\n" + UNIT + "\nSi 0 0 0\n", "frame 0 ends after 1 of 18446744073709551615 atoms"),
    (frame(0, "pbc=T"), NO_CELL),
    (frame(0, 'Lattice="1 0 0 0 1 0 0 0"'), 'Lattice="..." must hold 9 numbers, found 8'),
    (frame(0, "Lattice=5"), 'Lattice="..." must hold 9 numbers, found 1'),
    (frame(0, 'Lattice="1 0 0 0 1 0 0 0 x"'), "expected a number, found 'x'"),
    (frame(0, 'Lattice="1 0 0 0 1 0 0 0 0"'), "cell matrix is singular (zero volume)"),
    (frame(0, UNIT + " Properties=species:S:1"), "Properties=species:S:1 names no species or pos column"),
    (frame(0, UNIT + " Properties=species:S:x:pos:R:3"), "bad column count in Properties=species:S:x:pos:R:3"),
    (frame(0, UNIT + " Properties=species:S:1:pos"), "cannot read Properties=species:S:1:pos"),
    (frame(0, UNIT + " Properties="), "cannot read Properties="),
    (frame(0, UNIT + " Properties=species:S:2:pos:R:3"), "bad column count in Properties=species:S:2:pos:R:3"),
    (frame(0, UNIT + ' pbc="T F"'), "cannot read pbc=T F; expected T or F for each of the cell vectors a, b, c"),
    # A column offset past 2^64 - 1 must not wrap around to a real column.
    (frame(0, UNIT + " Properties=big:R:18446744073709551615:species:S:1:pos:R:3"),
     "frame 0, atom line 1 is incomplete"),
    (frame(0, UNIT, ["Si 0 0 0", ""]), "frame 0, atom line 2 is incomplete"),
    (frame(0, UNIT, ["Si 0 0 nan0"]), "expected a number, found 'nan0'"),
    (frame(0, UNIT, []), "structure has no sites"),
    ("", "no frames found in the file"),
    ("\n \n\t\n", "no frames found in the file"),
])
def test_frame_failures(write, text, message):
    with pytest.raises(ValueError) as info:
        read_xyz_trajectory(write(text))
    assert str(info.value) == message


def test_lattice_item_wins_over_the_cell_argument(write):
    path = write(frame(0, 'Lattice="2 0 0 0 2 0 0 0 2"', ["O 1 1 1"]) + frame(1, "", ["O 1 1 1"]))
    a, b = read_xyz_trajectory(path, cell=CELL10)[0]
    assert a.frac_coords == [[0.5] * 3] and b.frac_coords == [[0.1] * 3]


def test_pbc_per_frame_and_with_the_cell_argument(write):
    path = write(frame(0, UNIT + ' pbc="F F F"') + frame(1, UNIT) + frame(2, "pbc=F") + frame(3, 'pbc="T T F"'))
    structures = read_xyz_trajectory(path, cell=CELL10)[0]
    assert [s.pbc for s in structures] == [(False,) * 3, (True,) * 3, (False,) * 3, (True, True, False)]
    assert structures[2].lattice_matrix == CELL10
    with pytest.raises(ValueError, match="^frame 2 has no Lattice"):
        read_xyz_trajectory(path)


def test_species_in_capitals_are_noted_once(write):
    path = write(frame(0, UNIT, ["FE 0 0 0", "O 0 0 0.5"]) + frame(1, UNIT, ["FE 0 0 0", "CL 0 0 0.5"]))
    with pytest.warns(ReadWarning) as caught:
        structures = read_xyz_trajectory(path)[0]
    assert [str(w.message) for w in caught] == [
        "read species written in capitals as two-letter elements (FE as Fe, CL as Cl) for 3 atoms"]
    assert [s.elements for s in structures] == [["Fe", "O"], ["Cl", "Fe"]]
    with pytest.warns(ReadWarning, match=r"\(FE as Fe\) for 1 atom$"):
        read_xyz_trajectory(path, stop=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        read_xyz_trajectory(write(frame(0) + frame(1), name="clean.xyz"))


def test_unselected_frames_are_not_parsed_but_still_counted(write):
    bad = frame(1, "no cell here", ["X a b", "Y"])
    path = write(frame(0) + bad + frame(2))
    assert read_xyz_trajectory(path, every=2)[1:] == ([0, 2], 3)
    with pytest.raises(ValueError, match="^frame 1 ends after 1 of 2 atoms$"):
        read_xyz_trajectory(write(frame(0) + "2\nc\nX\n"), stop=None, start=0, every=5)


@pytest.mark.parametrize("where, context", [(0, "the atom count"), (1, "the comment line"), (2, "an atom line")])
def test_invalid_utf8_fails_even_in_skipped_frames(write, where, context):
    lines = frame(1).encode().split(b"\n")
    lines[where] += b"\xff"
    path = write(frame(0).encode() + b"\n".join(lines), mode="wb")
    with pytest.raises(ValueError) as info:
        read_xyz_trajectory(path, stop=None, every=2)
    assert str(info.value) == f"error reading {context}: stream did not contain valid UTF-8"


def test_characters_split_by_the_read_buffer_in_skipped_frames(write):
    # Pads the comment so that a three-byte character straddles the 8192-byte
    # buffer boundary inside an atom line of the skipped frame 1.
    head = frame(0)
    for pad in range(3):
        start = len(head.encode()) + len("1\n") + len("c" + " " * pad + "\n") + 1
        if (8192 - start) % 3 == 1:
            break
    skipped = "1\nc" + " " * pad + "\nX" + "\u20ac" * 4000 + "\n"
    assert read_xyz_trajectory(write(head + skipped + frame(2)), every=2)[1:] == ([0, 2], 3)


def test_last_line_without_newline(write):
    assert read_xyz_trajectory(write(frame(0).rstrip("\n")))[2] == 1


CORPUS = [
    # name, needs the cell argument, atoms per frame
    ("traj/extended.xyz", False, [192, 62, 8]),
    ("traj/xyz_unittest.xyz", False, [12, 10, 10]),
    ("traj/trajectory.xyz", True, [9, 9]),
    ("traj/bad-extended.xyz", True, [1] * 9),
]


@pytest.mark.parametrize("name, needs_cell, sizes", CORPUS)
def test_corpus_trajectories(corpus, name, needs_cell, sizes):
    path = str(corpus / name)
    if needs_cell:
        with pytest.raises(ValueError, match="^frame 0 has no Lattice"):
            read_xyz_trajectory(path)
    structures, indices, n = read_xyz_trajectory(path, cell=CELL10)
    assert [s.n_sites for s in structures] == sizes and n == len(sizes)
    ase_io = pytest.importorskip("ase.io")
    np = pytest.importorskip("numpy")
    if needs_cell:
        return
    with pytest.warns(ReadWarning, match=f"^the XYZ text holds {len(sizes) - 1} more frames after the first"):
        first = Structure.from_xyz(path)
    np.testing.assert_allclose(first.frac_coords, structures[0].frac_coords, rtol=0, atol=1e-15)
    for s, ref in zip(structures, ase_io.read(path, ":")):
        np.testing.assert_allclose(s.lattice_matrix, ref.cell.array, rtol=0, atol=1e-12)
        np.testing.assert_allclose(s.frac_coords, ref.get_scaled_positions(wrap=False), rtol=0, atol=1e-12)


@pytest.mark.parametrize("index, outcome", [
    (0, "expected a number, found 'H'"),  # positions before the species
    (1, "bad column count in Properties=species:S:1:pos:R:3:bad:R:"),
    (2, None),  # the column type is not looked at
    (3, "bad column count in Properties=species:S:1:pos:R:3:bad:R:ff"),
    (4, None),
])
def test_corpus_properties_variants(corpus, index, outcome):
    path = str(corpus / "traj/extended-bad-properties.xyz")
    if outcome is None:
        assert read_xyz_trajectory(path, start=index, stop=index + 1, cell=CELL10)[0][0].species == [{"H": 1.0}]
    else:
        with pytest.raises(ValueError) as info:
            read_xyz_trajectory(path, start=index, stop=index + 1, cell=CELL10)
        assert str(info.value) == outcome


def test_other_threads_run_during_a_long_read(write):
    atoms = [f"Si {k % 10}.25 {k % 7}.5 {k % 3}.125" for k in range(2000)]
    path = write(frame(0, atoms=atoms) * 400)
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())

    worker = threading.Thread(target=tick)
    worker.start()
    try:
        time.sleep(0.01)
        t0 = time.perf_counter()
        structures, _, _ = read_xyz_trajectory(path, every=2)
        t1 = time.perf_counter()
    finally:
        done.set()
        worker.join()
    assert len(structures) == 200
    middle = [t for t in ticks if t0 + 0.3 * (t1 - t0) < t < t1 - 0.3 * (t1 - t0)]
    assert middle, f"no progress in another thread during a {t1 - t0:.3f} s read"


def test_average_prdf_is_the_mean_of_the_frames(write):
    np = pytest.importorskip("numpy")
    from molvane import average_prdf

    cell = 'Lattice="4 0 0 0 4.5 0 0 0 5"'
    frames = [
        frame(0, cell, ["Si 0 0 0", "O 2 2 2", "O 1 0 3"]),
        frame(1, cell, ["Si 0.1 0 0", "O 2 2.2 2", "O 1 0.5 3"]),
        frame(2, cell, ["O 0 0 0", "O 2 2 2.5"]),  # no Si: only the O-O curve
    ]
    structures, _, _ = read_xyz_trajectory(write("".join(frames)))
    seen = []
    with pytest.warns(DeprecationWarning, match="use molvane.rdf_average"):
        r, partials, total = average_prdf(structures, 6.0, 0.25, 1, progress=lambda d, n: seen.append((d, n)))
    assert seen == [(1, 3), (2, 3), (3, 3)]
    per_frame = [s.prdf(6.0, 0.25, 1) for s in structures]
    np.testing.assert_array_equal(r, per_frame[0][0])
    assert list(partials) == [("O", "O"), ("O", "Si"), ("Si", "O"), ("Si", "Si")]
    np.testing.assert_allclose(total, np.mean([f[2] for f in per_frame], axis=0), rtol=1e-15, atol=0)
    np.testing.assert_allclose(partials["O", "O"], np.mean([f[1]["O", "O"] for f in per_frame], axis=0),
                               rtol=1e-15, atol=0)
    np.testing.assert_allclose(partials["Si", "O"], np.mean([f[1]["Si", "O"] for f in per_frame[:2]], axis=0),
                               rtol=1e-15, atol=0)
    assert total.max() > 0 and partials["O", "O"].max() > 0
    with pytest.raises(ValueError, match="^no frames to average$"), pytest.warns(DeprecationWarning):
        average_prdf([])


# --- the frame index, streaming and averages over a path ---

def line_by_line_index(data):
    """(offsets, atoms) of the frames of `data` (bytes), counted line by line
    as the reader defines frames: blank lines skipped before a count line."""
    lines, at = [], 0
    for line in data.split(b"\n"):
        lines.append((at, line))
        at += len(line) + 1
    if lines and lines[-1][1] == b"":
        lines.pop()
    offsets, atoms, i = [], [], 0
    while i < len(lines):
        if not lines[i][1].strip():
            i += 1
            continue
        offsets.append(lines[i][0])
        atoms.append(int(lines[i][1]))
        i += atoms[-1] + 2
    return offsets, atoms


def frames_with(sizes, lattice='Lattice="6 0 0 0 6.5 0 0 0 7"'):
    symbols = ["Si", "O", "Mg"]
    return [frame(0, lattice, [f"{symbols[(i + k) % 3]} {k * 0.7:.8f} {i * 0.13:.8f} {(i * k) % 5:.8f}"
                               for k in range(n)]) for i, n in enumerate(sizes)]


@pytest.mark.parametrize("layout", ["plain", "crlf", "no final newline", "blank lines", "one atom frames"])
def test_index_agrees_with_a_line_by_line_count(write, layout):
    from molvane import index_xyz_trajectory

    sizes = [1] * 7 if layout == "one atom frames" else [3, 5, 2, 4]
    text = "".join(frames_with(sizes))
    if layout == "crlf":
        text = text.replace("\n", "\r\n")
    elif layout == "no final newline":
        text = text.rstrip("\n")
    elif layout == "blank lines":
        text = "\n  \n" + "\n\t\n".join(frames_with(sizes)) + "\n \n"
    path = write(text)
    index = index_xyz_trajectory(path)
    offsets, atoms = line_by_line_index(text.encode())
    assert index.offsets.tolist() == offsets and index.atoms.tolist() == atoms
    assert index.file_size == len(text.encode()) and len(index) == len(sizes)
    assert len(index_xyz_trajectory(path, stop=2)) == 2


def test_a_kept_index_refuses_a_file_rewritten_in_place_or_replaced(write):
    import os
    import pickle

    from molvane import index_xyz_trajectory
    from molvane._tasks import read_sums

    path = write("".join(frames_with([3, 5, 2])))
    index = pickle.loads(pickle.dumps(index_xyz_trajectory(path)))
    st = os.stat(path)
    assert index.identity == (st.st_size, st.st_mtime_ns, st.st_ino)

    def read():
        return read_sums(path, index.locations(index.selected()), index.identity, None, 2.0, 0.1)[0].frames

    assert read() == 3
    # Coordinates edited in place: same size, same count lines, 1 ns later.
    edited = open(path).read().replace("0.7", "0.8")
    with open(path, "r+") as handle:
        handle.write(edited)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1))
    with pytest.raises(ValueError, match=rf"^frame 0: the file changed since it was indexed \(modified: "
                                         rf"{st.st_mtime_ns} ns then, {st.st_mtime_ns + 1} ns now\); index it again$"):
        read()
    # The same bytes and time in a new file moved over the old one.
    write(open(path).read(), name="new.xyz")
    os.utime(path[:-len("traj.xyz")] + "new.xyz", ns=(st.st_atime_ns, st.st_mtime_ns))
    os.replace(path[:-len("traj.xyz")] + "new.xyz", path)
    with pytest.raises(ValueError, match=r"^frame 0: the file changed since it was indexed \(replaced: inode "):
        read()


def test_index_selection_arguments_are_checked(write):
    from molvane import index_xyz_trajectory

    index = index_xyz_trajectory(write("".join(frames_with([3, 5, 2]))))
    for kwargs, error, message in [({"every": 0}, ValueError, "^every must be at least 1$"),
                                   ({"start": -1}, ValueError, "^start and stop must be 0 or more$"),
                                   ({"start": 0.5}, TypeError, "integer")]:
        with pytest.raises(error, match=message):
            index.selected(**kwargs)
    with pytest.raises(ValueError, match=r"^frame numbers must lie in 0 \.\. 2$"):
        index.locations([0, 3])


def test_index_of_the_corpus_and_the_example(corpus):
    from molvane import index_xyz_trajectory

    root = corpus.parents[2]
    for path in [root / "examples" / "argon.xyz", *sorted((corpus / "traj").glob("*.xyz"))]:
        offsets, atoms = line_by_line_index(path.read_bytes())
        index = index_xyz_trajectory(str(path))
        assert (index.offsets.tolist(), index.atoms.tolist()) == (offsets, atoms), path.name


@pytest.mark.parametrize("text", [
    frame(0) + "3\nc\nSi 0 0 0\n",                 # a truncated last frame
    frame(0) + "x\n",                               # a count line that is not one
    frame(0) + "2\n",                               # no comment line
    frame(0).encode() + b"1\nc\xff\nSi 0 0 0\n",    # invalid UTF-8 in a comment
    "",
])
def test_index_fails_as_the_reader_does(write, text):
    from molvane import index_xyz_trajectory

    path = write(text, mode="wb" if isinstance(text, bytes) else "w")
    with pytest.raises(ValueError) as expected:
        read_xyz_trajectory(path, every=1000)
    with pytest.raises(ValueError) as got:
        index_xyz_trajectory(path)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("kwargs", [{}, {"every": 3, "start": 1}, {"stop": 4}, {"start": 6, "every": 2}])
def test_iter_xyz_frames_yields_what_the_reader_returns(write, kwargs):
    from molvane import iter_xyz_frames, same_structure

    path = write("".join(frames_with([3, 5, 2, 4, 1, 6, 2, 3])))
    structures, indices, _ = read_xyz_trajectory(path, **kwargs)
    streamed = list(iter_xyz_frames(path, **kwargs))
    assert [i for i, _ in streamed] == indices
    assert all(same_structure(a, b) for a, (_, b) in zip(structures, streamed))
    assert [s.n_sites for s in molvane.iread(path, **kwargs)] == [s.n_sites for s in structures]
    # The mean over the file counts the frames read as the reader does.
    result = molvane.rdf_average(path, 2.0, 0.5, **kwargs)
    assert (result.n_frames, result.frames_read) == (len(indices), read_xyz_trajectory(path, **kwargs)[2])


def test_selectors_are_for_files_only():
    structures = [molvane.Structure([[3, 0, 0], [0, 3, 0], [0, 0, 3]], [[0, 0, 0]], [{"Ar": 1.0}])] * 2
    with pytest.raises(ValueError, match="^every, client select frames of a trajectory file"):
        molvane.rdf_average(structures, 2.0, 0.5, every=2, client=object())
    with pytest.raises(TypeError):
        molvane.iread("md.xyz", 0, None, 2)  # the selectors are keywords


def test_iter_xyz_frames_checks_at_the_call_and_fails_where_the_reader_does(write, tmp_path):
    from molvane import iter_xyz_frames

    with pytest.raises(ValueError, match="^every must be at least 1$"):
        iter_xyz_frames(str(tmp_path / "missing.xyz"), every=0)
    with pytest.raises(ValueError, match="^could not open "):
        iter_xyz_frames(str(tmp_path / "missing.xyz"))
    frames = iter_xyz_frames(write(frame(0) + frame(1) + "3\nc\nSi 0 0 0\n"))
    assert [i for i, _ in (next(frames), next(frames))] == [0, 1]
    with pytest.raises(ValueError, match="^frame 2 ends after 1 of 3 atoms$"):
        next(frames)
    with pytest.raises(ValueError, match="^the file has 2 frame\\(s\\) but none matched start/every/stop$"):
        list(iter_xyz_frames(write(frame(0) + frame(1), name="two.xyz"), start=5))


def test_iter_xyz_frames_notes_capitals_once_when_done(write):
    from molvane import iter_xyz_frames

    path = write(frame(0, UNIT, ["FE 0 0 0"]) * 3)
    with pytest.warns(ReadWarning, match=r"\(FE as Fe\) for 3 atoms$"):
        assert len(list(iter_xyz_frames(path))) == 3


def same_rdf(a, b):
    return (a.pairs == b.pairs and np.array_equal(a.total_density(), b.total_density())
            and all(np.array_equal(a.density(*p), b.density(*p)) and np.array_equal(a.g(*p), b.g(*p))
                    for p in a.pairs)
            and a.composition == b.composition and a.volume == b.volume
            and a.number_density == b.number_density and a.n_frames == b.n_frames)


np = pytest.importorskip("numpy")


@pytest.fixture
def mixed(write):
    """Frames of changing cells and species (frame 2 holds no Mg), some large
    enough to be computed on their own."""
    texts = frames_with([30, 12, 3, 40, 25, 8, 17])
    texts[2] = frame(0, 'Lattice="6 0 0 0 6 0 0 0 6"', ["Si 0 0 0", "O 1 1 1", "O 2 0 1"])
    texts[4] = texts[4].replace('"6 0 0 0 6.5 0 0 0 7"', '"6.2 0.1 0 0 6.4 0 0.3 0 7.1"')
    return write("".join(texts))


@pytest.mark.parametrize("kwargs", [{}, {"every": 2}, {"start": 1, "stop": 6}])
@pytest.mark.parametrize("n_threads", [1, 2, 3])
@pytest.mark.parametrize("large", [25, None])
def test_streamed_average_equals_the_in_memory_one(mixed, kwargs, n_threads, large, monkeypatch):
    import molvane
    from molvane import _tasks

    if large:  # streamed, some frames alone on all threads; otherwise tasks of frames on threads
        monkeypatch.setattr(_tasks, "LARGE_FRAME", large)
    monkeypatch.setattr(_tasks, "BATCH_ATOMS", 40)  # several reads
    structures, _, _ = read_xyz_trajectory(mixed, **kwargs)
    expected = molvane.rdf_average(structures, 3.5, 0.1, 1)
    seen = []
    got = molvane.trajectory_rdf(mixed, 3.5, 0.1, n_threads=n_threads, progress=lambda d, n: seen.append(d), **kwargs)
    assert same_rdf(got, expected) and seen[-1] == len(structures) and seen == sorted(set(seen))
    if not kwargs:
        assert same_rdf(molvane.rdf_average(mixed, 3.5, 0.1, 2), expected)


@pytest.mark.parametrize("seed", [0, 1])
def test_frame_sums_do_not_depend_on_order_or_grouping(seed):
    import math
    from fractions import Fraction

    from molvane._sums import ExactSum

    rng = np.random.default_rng(seed)
    terms = rng.standard_normal((60, 5)) * 10.0 ** rng.integers(-300, 300, (60, 5))
    terms[:, 1] = [1e16, 1.0, -1e16] * 20  # cancellation that plain sums lose
    terms[5, 2], terms[9, 3] = 5e-324, np.inf
    rows = np.arange(5)

    def summed(order, split):
        parts = [ExactSum(), ExactSum()]
        for part in parts:
            part.grow(5)
        for k, i in enumerate(order):
            parts[k >= split].add_at(rows, terms[i])
        parts[0].merge(parts[1], rows)
        return parts[0].value(rows, 7)

    first = summed(range(60), 60)
    assert np.array_equal(first, summed(rng.permutation(60), 23))
    exact = [float(sum(map(Fraction, terms[:, j])) / 7) for j in (0, 1, 2, 4)]
    assert first[[0, 1, 2, 4]].tolist() == exact and first[1] == 20 / 7 and math.isinf(first[3])


NUMBERS = ["0.1", "-0.5", "1.", ".5", "+.5e-3", "12.34567890", "-1234.56789012", "9007199254740992",
           "9007199254740993", "1234567890123456789", "12345678901234567890", "0.000000000000000000001",
           "1e22", "1e23", "4.9e-324", "1.7976931348623157e308", "123456789.123456789e-5", "00000000000000000001.5"]


def random_numbers(count, seed=5):
    """Number texts of every length around the eight-byte steps of the reader."""
    rng = random.Random(seed)
    texts = []
    for _ in range(count):
        whole = "".join(rng.choice("0123456789") for _ in range(rng.randrange(0, 12)))
        part = "".join(rng.choice("0123456789") for _ in range(rng.randrange(0, 21)))
        text = rng.choice(["", "-", "+"]) + whole + ("." + part if part or not whole else "")
        texts.append((text if any(c.isdigit() for c in text) else text + "7") +
                     rng.choice(["", "", f"e{rng.randrange(-30, 30)}"]))
    return texts


def test_numbers_read_exactly(write):
    atoms = [f"Si {x} 0 0" for x in NUMBERS]
    structure = read_xyz_trajectory(write(frame(0, UNIT, atoms)))[0][0]
    assert [f[0] for f in structure.frac_coords] == [float(x) for x in NUMBERS]
    texts = random_numbers(3000)
    atoms = [" ".join(["Si"] + texts[k:k + 3]) for k in range(0, len(texts), 3)]
    structure = read_xyz_trajectory(write(frame(0, UNIT, atoms)))[0][0]
    assert [x for f in structure.frac_coords for x in f] == [float(x) for x in texts]


@pytest.mark.parametrize("gap", [" ", "\t", "\v\f", "\r ", "\u00a0", "\u3000", "  \u2003 "])
@pytest.mark.parametrize("pad", [0, 5, 61])
def test_columns_split_at_any_whitespace_across_long_lines(write, gap, pad):
    comment = UNIT + " Properties=species:S:1:pos:R:3:extra:R:12"
    columns = ["O", "0.25", "0.5", "0.75"] + [f"{k}.{'9' * (k + pad % 7)}" for k in range(12)]
    line = " " * pad + gap.join(columns) + (gap if pad else "")
    s = read_xyz_trajectory(write(frame(0, comment, [line, line.replace("O", "Fe", 1)])))[0][0]
    assert s.species == [{"O": 1.0}, {"Fe": 1.0}] and s.frac_coords[1] == [0.25, 0.5, 0.75]


@pytest.mark.parametrize("n_threads", [1, 2])
def test_averages_fail_at_the_first_bad_frame_and_note_capitals_once(write, n_threads):
    import molvane

    good = [frame(i, UNIT, ["FE 0 0 0", "O 0 0 0.5"]) for i in range(8)]
    bad = [frame(i, UNIT, {3: ["Si 0 x 0"], 6: ["Si 0"]}.get(i)) for i in range(8)]
    with pytest.raises(ValueError) as expected:
        read_xyz_trajectory(write("".join(bad), name="bad.xyz"))
    with pytest.raises(ValueError) as got:
        molvane.trajectory_rdf(write("".join(bad), name="bad.xyz"), 2.0, 0.1, n_threads=n_threads)
    assert str(got.value) == str(expected.value)
    with pytest.warns(ReadWarning) as caught:
        molvane.trajectory_rdf(write("".join(good)), 2.0, 0.1, n_threads=n_threads)
    assert [str(w.message) for w in caught] == [
        "read species written in capitals as two-letter elements (FE as Fe) for 8 atoms"]


def test_frames_whose_species_change_read_as_each_frame_alone(write):
    # Frames with the same species, a new one, a subset, many (past the
    # remembered tokens and the scanned table), then the first again: each
    # frame's species as a plain parse of its lines gives them.
    from molvane import iter_xyz_frames

    rng = random.Random(5)
    many = ["H", "He", "Li", "Be", "B", "C", "N", "O", "F", "Ne", "Na", "Mg", "Al", "Si", "P", "S", "Cl", "Ar",
            "K", "Ca", "Sc", "Ti"]
    pools = [["Si", "O"], ["O", "Si"], ["Si", "O", "Na"], ["O"], many, ["Si", "O"]]
    texts = []
    for pool in pools:
        atoms = [f"{rng.choice(pool)} {rng.uniform(0, 10):.6f} {rng.uniform(0, 10):.6f} 1.5" for _ in range(60)]
        texts.append(frame(0, atoms=atoms))
    path = write("".join(texts))
    for structures in (read_xyz_trajectory(path)[0], [s for _, s in iter_xyz_frames(path)]):
        for text, s in zip(texts, structures):
            symbols = [line.split()[0] for line in text.splitlines()[2:]]
            assert s._site_species == [[(symbol, 1.0)] for symbol in symbols]
            assert s.elements == sorted(set(symbols))
            assert s.composition == {e: float(symbols.count(e)) for e in sorted(set(symbols))}
            assert s.species == [{symbol: 1.0} for symbol in symbols]


def test_frames_across_buffer_refills_with_crlf_and_non_ascii_lines(write):
    # About 1 MB of CRLF lines, some with a non-ASCII name column, so that
    # frames straddle refills of the reader's buffer: coordinates as Python
    # reads the numbers (times the inverse cell, 0.1).
    rng = random.Random(8)
    comment = 'Lattice="10 0 0 0 10 0 0 0 10" Properties=species:S:1:pos:R:3:name:S:1'
    texts = []
    for _ in range(6):
        atoms = [f"{rng.choice(['Cu', 'Au'])} {rng.uniform(-1, 11):.9f} {rng.uniform(0, 10):.5f} "
                 f"{rng.uniform(0, 10):.7f} {'é' if rng.random() < 0.01 else 'a'}" for _ in range(3000)]
        texts.append(frame(0, comment=comment, atoms=atoms))
    path = write("".join(texts).replace("\n", "\r\n"))
    structures, _, _ = read_xyz_trajectory(path)
    for text, s in zip(texts, structures):
        rows = [line.split() for line in text.splitlines()[2:]]
        assert s.frac_coords == [[float(x) * 0.1 for x in row[1:4]] for row in rows]
        assert s._site_species == [[(row[0], 1.0)] for row in rows]
