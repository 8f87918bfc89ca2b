"""Trajectory averages on a local Dask cluster of two worker processes."""
import os
import signal
import subprocess
import sys
import warnings

import numpy as np
import pytest

import molvane
from molvane import ReadWarning, read_xyz_trajectory, trajectory_rdf
from test_trajectory import UNIT, frame, frames_with, same_rdf

distributed = pytest.importorskip("dask.distributed", reason="needs dask[distributed] (pip install 'molvane[dask]')")


def test_importing_molvane_does_not_import_dask():
    code = "import sys, molvane, molvane.trajectory; print(any(m.startswith('dask') for m in sys.modules))"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "False\n"


@pytest.fixture(scope="module")
def client():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=None, silence_logs=40)
        with cluster, distributed.Client(cluster) as client:
            yield client


@pytest.fixture
def md(tmp_path):
    texts = frames_with([30, 12, 3, 40, 25, 8, 17, 22, 9, 31] * 3)
    texts[2] = frame(0, 'Lattice="6 0 0 0 6 0 0 0 6"', ["Si 0 0 0", "O 1 1 1", "O 2 0 1"])
    path = tmp_path / "md.xyz"
    path.write_text("".join(texts))
    return str(path)


@pytest.mark.parametrize("kwargs", [{"frames_per_task": 1}, {"frames_per_task": 4, "every": 3, "start": 1},
                                    {"stop": 17}])
def test_distributed_average_equals_the_local_one(client, md, kwargs):
    local = {k: v for k, v in kwargs.items() if k != "frames_per_task"}
    expected = molvane.rdf_average(read_xyz_trajectory(md, **local)[0], 3.5, 0.1)
    done = []
    got = trajectory_rdf(md, 3.5, 0.1, client=client, progress=lambda d, n: done.append((d, n)), **kwargs)
    assert same_rdf(got, expected) and done[-1] == (expected.n_frames, expected.n_frames)
    index = molvane.index_xyz_trajectory(md)
    assert same_rdf(trajectory_rdf(md, 3.5, 0.1, client=client, index=index, **kwargs), expected)


def test_a_killed_worker_does_not_change_the_result(client, tmp_path):
    path = tmp_path / "long.xyz"
    path.write_text("".join(frames_with([1500] * 24, 'Lattice="16 0 0 0 16 0 0 0 16"')))
    expected = trajectory_rdf(str(path), 4.0, 0.1)
    pids = client.run(os.getpid)
    lost = []

    def kill_a_busy_worker(done, total):
        busy = [worker for worker, tasks in client.processing().items() if tasks]
        if not lost and busy:
            lost.append(client.processing()[busy[0]])
            os.kill(pids[busy[0]], signal.SIGKILL)

    got = trajectory_rdf(str(path), 4.0, 0.1, client=client, frames_per_task=2, progress=kill_a_busy_worker)
    assert lost and same_rdf(got, expected)
    client.wait_for_workers(2, timeout=60)


def test_failures_on_the_workers_are_reported(client, md, tmp_path):
    with pytest.raises(ValueError, match="^could not open .*missing.xyz: No such file or directory"):
        trajectory_rdf(str(tmp_path / "missing.xyz"), client=client)
    with pytest.raises(ValueError, match="^every must be at least 1$"):
        trajectory_rdf(md, client=client, every=0)
    with pytest.raises(TypeError, match="^client must be a dask.distributed.Client, not int$"):
        trajectory_rdf(md, client=3)
    bad = tmp_path / "bad.xyz"
    bad.write_text(frame(0) * 3 + frame(0, UNIT, ["Si 0 0 x"]) + frame(0))
    with pytest.raises(ValueError, match="^expected a number, found 'x'$"):
        trajectory_rdf(str(bad), client=client, frames_per_task=1)
    # The file grows after it was indexed.
    index = molvane.index_xyz_trajectory(md)
    with open(md, "a") as handle:
        handle.write(frame(0))
    with pytest.raises(ValueError, match=r"^frame \d+: the file changed since it was indexed \(\d+ bytes then, "):
        trajectory_rdf(md, client=client, index=index)


def test_frames_that_moved_or_a_missing_file_fail_in_a_task(md):
    from molvane.distributed import _frame_sums

    index = molvane.index_xyz_trajectory(md)
    text = open(md).read()
    with open(md, "w") as handle:  # same size, the first frame one byte later
        handle.write(" " + text[:-1])
    os.utime(md, ns=(index.mtime_ns, index.mtime_ns))  # and the same time: the count lines tell
    with pytest.raises(ValueError, match=r"^frame 3: the file changed since it was indexed \(no count line of 40 "):
        _frame_sums(md, index.locations(np.array([3])), index.identity, None, 3.0, 0.1)
    os.remove(md)
    with pytest.raises(ValueError, match="every worker must see the file at the same path"):
        _frame_sums(md, index.locations(np.array([3])), index.identity, None, 3.0, 0.1)


def test_guessed_species_are_noted_once_over_all_tasks(client, tmp_path):
    path = tmp_path / "caps.xyz"
    path.write_text(frame(0, UNIT, ["FE 0 0 0", "O 0.5 0.5 0.5"]) * 4 + frame(0, UNIT, ["CL 0 0 0"]) * 2)
    with pytest.warns(ReadWarning) as expected:
        read_xyz_trajectory(str(path))
    with pytest.warns(ReadWarning) as got:
        trajectory_rdf(str(path), 0.9, 0.1, client=client, frames_per_task=2)
    assert [str(w.message) for w in got] == [str(w.message) for w in expected]


def test_traj_command_on_a_running_scheduler(client, md, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from molvane.cli import main

    for name, extra in [("local", []), ("dask", ["--scheduler", client.scheduler.address, "--frames-per-task", "2"])]:
        assert main(["traj", md, "--cutoff", "3", "--every", "2", "--out", str(tmp_path / name), *extra]) == 0
    out = capsys.readouterr().out
    assert out.count("averaged 15 of 30 frames (indices 0..28)") == 2
    assert (tmp_path / "local" / "rdf.csv").read_text() == (tmp_path / "dask" / "rdf.csv").read_text()
    assert main(["traj", md, "--workers", "2", "--scheduler", "x"]) == 2
