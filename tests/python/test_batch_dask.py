"""velmora_batch on a dask.distributed LocalCluster of two worker processes."""

from __future__ import annotations

import os
import signal

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("tqdm")
distributed = pytest.importorskip("distributed")
import dask  # noqa: E402
import pandas as pd  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from batch_files import DAMAGED, die_on_three, die_writing, study, three_axis  # noqa: E402
from test_batch_study import plain_copy  # noqa: E402

import velmora  # noqa: E402
import velmora_batch  # noqa: E402
from velmora_batch import pieces, runner  # noqa: E402
from velmora_batch import study as study_tools  # noqa: E402


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    # One retry, so that the dying worker below is reported after two deaths, not four; and one
    # task per worker at a time, so that no task queued beside the dying one is blamed with it.
    settings = {
        "distributed.scheduler.allowed-failures": 1,
        "distributed.scheduler.worker-saturation": 1.0,
    }
    # The workers start in a folder of their own, as on a cluster, where a path relative to the
    # caller's folder means another file or none.
    caller = os.getcwd()
    with dask.config.set(settings):
        os.chdir(tmp_path_factory.mktemp("workers"))
        try:
            cluster = distributed.LocalCluster(
                n_workers=2,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                timeout="60s",
            )
        finally:
            os.chdir(caller)
        with cluster, distributed.Client(cluster, timeout="60s") as client:
            yield client


@pytest.fixture(autouse=True)
def deadline():
    """Fails a test that hangs instead of letting it stall the suite."""

    def expire(signum, frame):
        raise TimeoutError("dask test took longer than 90 s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(90)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def test_convert_on_the_cluster_writes_what_a_local_run_writes(tmp_path, client):
    folder = study(tmp_path)
    local = velmora_batch.convert(folder, tmp_path / "local", progress=False)
    remote = velmora_batch.convert(folder, tmp_path / "remote", client=client, progress=False)
    columns = ["status", "error", "rows"]
    assert remote[columns].equals(local[columns])
    for mine, theirs in zip(
        local["output"][local["status"] == "ok"], remote["output"][remote["status"] == "ok"]
    ):
        theirs, mine = pq.read_table(theirs), pq.read_table(mine)
        assert theirs.schema.equals(mine.schema, check_metadata=True)
        assert theirs.to_pandas().equals(mine.to_pandas())


def test_relative_paths_are_the_callers_not_the_workers(tmp_path, client, monkeypatch):
    study(tmp_path)
    monkeypatch.chdir(tmp_path)
    outcome = velmora_batch.convert(
        ["study/a_wrist.cwa", "study/site2"], "out_rel", client=client, progress=False
    )
    assert outcome["status"].tolist() == ["ok", "ok"], outcome["error"].tolist()
    assert sorted(p.name for p in (tmp_path / "out_rel").rglob("*.parquet")) == [
        "a_wrist.parquet",
        "c_hip.parquet",
    ]


def test_to_dask_reads_nothing_until_computed_and_then_what_read_cwa_file_reads(
    tmp_path, client, monkeypatch
):
    folder = study(tmp_path)
    (folder / DAMAGED).unlink()
    long_one = folder / "long.cwa"
    long_one.write_bytes(three_axis(4, packets=9))
    monkeypatch.setattr(
        pieces, "PIECE_BLOCKS", 4
    )  # planned here: 2 + 3 pieces, and one for a .cwa.gz
    reads = []
    real_read = velmora.read_cwa_file

    def read(path, **options):
        if os.path.exists(path):  # the options are tried on a file that is not there
            reads.append(path)
        return real_read(path, **options)

    monkeypatch.setattr(velmora, "read_cwa_file", read)
    frame = velmora_batch.to_dask(folder, include_light=False)
    assert reads == [] and frame.npartitions == 6
    monkeypatch.undo()
    computed = frame.compute()
    names = ["a_wrist", "long", "site2/c_hip"]
    expected = pd.concat(
        velmora.read_cwa_file(plain_copy(path, tmp_path), include_light=False).assign(
            recording=name
        )
        for path, name in zip(
            [folder / "a_wrist.cwa", long_one, folder / "site2" / "c_hip.cwa.gz"], names
        )
    )
    expected["recording"] = pd.Categorical(expected["recording"], categories=names)
    pd.testing.assert_frame_equal(
        computed[expected.columns], expected, check_exact=True, check_like=False
    )
    assert computed.drop(columns=expected.columns).isna().all().all()
    assert frame._meta.dtypes.equals(computed.dtypes)


def test_inventory_takes_a_scheduler_address(tmp_path, client):
    folder = study(tmp_path)
    frame = velmora_batch.inventory(folder, client=client.scheduler.address, progress=False)
    assert frame.drop(columns="path").equals(
        velmora_batch.inventory(folder, progress=False).drop(columns="path")
    )


def test_a_worker_that_dies_is_reported_for_its_own_item(client):
    rows = runner.run(
        die_on_three,
        [1, 2, 3, 4],
        lambda item, error: {"item": item, "status": type(error).__name__},
        client=client,
        progress=False,
    )
    assert [(row["item"], row["status"]) for row in rows] == [
        (1, "ok"),
        (2, "ok"),
        (3, "KilledWorker"),
        (4, "ok"),
    ]


def test_a_worker_killed_while_writing_leaves_no_partial_file(tmp_path, client):
    (tmp_path / "out").mkdir()
    jobs = [(str(tmp_path / "a.cwa"), str(tmp_path / "out" / "a.parquet"), "a")]
    rows = runner.run(
        die_writing, jobs, study_tools._lost_conversion, client=client, progress=False
    )
    assert rows[0]["error"].startswith("KilledWorker")
    assert list((tmp_path / "out").iterdir()) == []
