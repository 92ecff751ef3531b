"""Runs per-file tasks in this process, on a local process pool or on a dask.distributed cluster.

A task takes a chunk (a list of items) and returns one outcome row per item; a chunk whose worker
dies gets rows made by `lost(item, error)`. Rows come back in the order of the items.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import multiprocessing
import sys
import uuid
from concurrent.futures.process import BrokenProcessPool

from ._extras import require


@contextlib.contextmanager
def _bar(total: int, progress: bool, desc: str):
    if not progress:
        yield None
        return
    tqdm = require("tqdm")
    with tqdm.tqdm(total=total, desc=desc, unit="file", file=sys.stderr) as bar:
        yield bar


def run(task, chunks, lost, *, workers=None, client=None, progress=True, desc=""):
    results = [None] * len(chunks)
    total = sum(len(chunk) for chunk in chunks)
    with _bar(total, progress, desc) as bar:

        def done(index, rows):
            results[index] = rows
            if bar is not None:
                bar.update(len(rows))

        if client is not None:
            _on_dask(task, chunks, lost, client, done)
        elif workers is not None and workers > 1:
            _on_pool(task, chunks, lost, workers, done)
        else:
            for index, chunk in enumerate(chunks):
                done(index, task(chunk))
    return [row for rows in results for row in rows]


def _pool_context():
    # pandas and the extension are not fork-safe once threads exist; forkserver starts workers
    # from a clean process, and costs less than spawn where it is available.
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _on_pool(task, chunks, lost, workers, done):
    """Runs the chunks on a pool; when a worker dies, the unfinished chunks run again.

    A dying worker breaks the whole pool and fails every unfinished chunk, the innocent ones too.
    So they are all retried in a new pool; a round in which nothing finishes runs its first chunk
    alone, and a chunk that then kills its pool is the culprit and is reported lost.
    """
    pending = list(range(len(chunks)))
    alone = False
    while pending:
        batch = pending[:1] if alone else pending
        broken = []
        with concurrent.futures.ProcessPoolExecutor(
            min(workers, len(batch)), mp_context=_pool_context()
        ) as pool:
            futures = {pool.submit(task, chunks[index]): index for index in batch}
            for future in concurrent.futures.as_completed(futures):
                index = futures[future]
                try:
                    done(index, future.result())
                except BrokenProcessPool as error:
                    broken.append((index, error))
                except Exception as error:
                    done(index, [lost(item, error) for item in chunks[index]])
        if alone:
            if broken:
                done(batch[0], [lost(item, broken[0][1]) for item in chunks[batch[0]]])
            pending, alone = pending[1:], False
        else:
            pending = sorted(index for index, _ in broken)
            alone = len(broken) == len(batch)


def _on_dask(task, chunks, lost, client, done):
    distributed = require("distributed")
    own = isinstance(client, str)
    if own:
        client = distributed.Client(client)
    try:
        run_id = uuid.uuid4().hex[:12]
        futures = {
            client.submit(task, chunk, pure=False, key=f"velmora-{run_id}-{index}"): index
            for index, chunk in enumerate(chunks)
        }
        for future in distributed.as_completed(futures):
            index = futures[future]
            if future.status == "finished":
                done(index, future.result())
            else:
                # After dask's retries a killed worker surfaces here as KilledWorker.
                error = future.exception()
                done(index, [lost(item, error) for item in chunks[index]])
            future.release()
    finally:
        if own:
            client.close()
