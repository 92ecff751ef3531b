"""Runs per-file tasks in this process, on a local process pool or on a dask.distributed cluster.

A task takes a chunk (a list of items) and returns one outcome row per item; a chunk whose worker
dies gets rows made by `lost(item, error)`. Rows come back in the order of the items. Chunks hold
up to `largest` items, fewer when that is needed to give every worker a few chunks: small tasks
cost less in chunks, and long ones are best spread one a task.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import math
import multiprocessing
import os
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


class Interrupted(KeyboardInterrupt):
    """An interrupt that says how far the run came: `finished` of `total` items had their rows."""

    def __init__(self, finished: int, total: int):
        super().__init__(f"{finished} of {total} finished")
        self.finished, self.total = finished, total


def _chunks(items, parallel: int, largest: int):
    size = max(1, min(largest, math.ceil(len(items) / (parallel * 4))))
    return [items[start : start + size] for start in range(0, len(items), size)]


def run(task, items, lost, *, workers=None, client=None, progress=True, desc="", largest=1):
    distributed = require("distributed") if client is not None else None
    own = isinstance(client, str)
    if own:
        client = distributed.Client(client)
    try:
        if client is not None:
            chunks = _chunks(items, max(1, sum(client.nthreads().values())), largest)
        elif workers is not None and workers > 1:
            start_workers_early()
            chunks = _chunks(items, workers, largest)
        else:
            chunks = [[item] for item in items]
        return _run(task, chunks, lost, workers, client, progress, desc)
    finally:
        if own:
            client.close()


def _run(task, chunks, lost, workers, client, progress, desc):
    results = [None] * len(chunks)
    total = sum(len(chunk) for chunk in chunks)
    finished = 0
    with _bar(total, progress, desc) as bar:

        def done(index, rows):
            nonlocal finished
            results[index] = rows
            finished += len(rows)
            if bar is not None:
                bar.update(len(rows))

        try:
            if client is not None:
                _on_dask(task, chunks, lost, client, done)
            elif workers is not None and workers > 1:
                _on_pool(task, chunks, lost, workers, done)
            else:
                for index, chunk in enumerate(chunks):
                    done(index, task(chunk))
        except KeyboardInterrupt as interrupt:
            if isinstance(interrupt, Interrupted):
                raise
            raise Interrupted(finished, total) from interrupt
    return [row for rows in results for row in rows]


# What every worker imports, once, in the fork server: a worker forked from it starts at once
# instead of importing pandas and pyarrow (about a second) in each new process. The caller's
# main module too, as a spawned worker would import it.
_PRELOAD = ["__main__", "pandas", "pyarrow.parquet", "velmora_batch.tasks"]


def _pool_context():
    return multiprocessing.get_context("forkserver")


def start_workers_early() -> None:
    """Starts the fork server, which then imports what workers need while the caller goes on.

    The server is the process's own for as long as the process lives: the first pool pays for
    its imports, every later pool forks ready workers from it. Imported with one BLAS thread,
    so that only an allocator thread, which survives a fork, runs in the server when it forks.
    """
    from multiprocessing import forkserver

    _pool_context().set_forkserver_preload(_PRELOAD)
    previous = os.environ.get("OPENBLAS_NUM_THREADS")
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    try:
        forkserver.ensure_running()
    finally:
        if previous is None:
            del os.environ["OPENBLAS_NUM_THREADS"]


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
            try:
                for future in concurrent.futures.as_completed(futures):
                    index = futures[future]
                    try:
                        done(index, future.result())
                    except BrokenProcessPool as error:
                        broken.append((index, error))
                    except Exception as error:
                        done(index, [lost(item, error) for item in chunks[index]])
            except BaseException:
                # On an interrupt, the chunks not yet started must not run before we stop.
                pool.shutdown(wait=True, cancel_futures=True)
                raise
        if alone:
            if broken:
                done(batch[0], [lost(item, broken[0][1]) for item in chunks[batch[0]]])
            pending, alone = pending[1:], False
        else:
            pending = sorted(index for index, _ in broken)
            alone = len(broken) == len(batch)


def _on_dask(task, chunks, lost, client, done):
    distributed = require("distributed")
    run_id = uuid.uuid4().hex[:12]
    futures = {
        client.submit(task, chunk, pure=False, key=f"velmora-{run_id}-{index}"): index
        for index, chunk in enumerate(chunks)
    }
    for future in distributed.as_completed(futures):
        index = futures[future]
        # result() rather than the status: a finished chunk whose worker then died is "lost"
        # until dask has run it again, and result() waits for that.
        try:
            rows = future.result()
        except Exception as error:  # after dask's retries, KilledWorker
            rows = [lost(item, error) for item in chunks[index]]
        done(index, rows)
        future.release()
