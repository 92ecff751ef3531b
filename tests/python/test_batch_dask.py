"""velmora_batch on a dask.distributed LocalCluster of two worker processes."""

from __future__ import annotations

import signal

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("tqdm")
distributed = pytest.importorskip("distributed")
import dask  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from batch_files import die_on_three, study  # noqa: E402

import velmora_batch  # noqa: E402
from velmora_batch import runner  # noqa: E402


@pytest.fixture(scope="module")
def client():
    # One retry, so that the dying worker below is reported after two deaths, not four; and one
    # task per worker at a time, so that no task queued beside the dying one is blamed with it.
    settings = {
        "distributed.scheduler.allowed-failures": 1,
        "distributed.scheduler.worker-saturation": 1.0,
    }
    with (
        dask.config.set(settings),
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, timeout="60s"
        ) as cluster,
        distributed.Client(cluster, timeout="60s") as client,
    ):
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
