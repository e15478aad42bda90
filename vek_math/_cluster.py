"""One search across a Dask cluster: the level scorer that
``vek_math._engine.search(..., scorer=...)`` calls, and the task it runs on
the workers.

Per fit, X and y go to every worker once. Per level, the members that
joined the beam since the last level scored on the cluster go to every
worker (a broadcast scatter), and the level's candidates are cut into
chunks, one task each, that carry their slice of candidate records. A
worker process keeps one replica of the caller's beam per fit, extends it
with the batches of members it has not applied yet, and scores its chunk
exactly as the local search does; the scores are gathered in candidate
order, whatever order the chunks finish in. So the result is the local
result, bit for bit, for any number of workers and any chunk size.

Faults: a task whose worker dies is run again elsewhere by the scheduler
(and a task that fails is retried ``retries`` times); a cluster that is
gone raises ConnectionError, which ends the search with the levels finished
before (stopped == "cluster"); Ctrl-C cancels the level's tasks and stops
the search as it does locally.
"""

from __future__ import annotations

import sys
import threading
import time
import uuid
from concurrent.futures import CancelledError
from dataclasses import dataclass
from types import CapsuleType
from typing import Any

import numpy as np
import numpy.typing as npt

from vek_math import _engine

__all__ = ["MIN_WORK", "ClusterScorer", "LevelReport"]

# A level of fewer candidate-rows (candidates x rows) than this is scored
# locally. Measured on a LocalCluster of 2 worker processes on one loaded
# 2-core machine: a level's round trip (scatter, submit, gather) takes 40-55
# ms, and a worker scores a candidate-row in 20-45 ns (bench_cluster), so
# 2**24 candidate-rows are 0.17-0.38 s on 2 workers; below that the round
# trip would be a large part of the work it moves.
MIN_WORK = 1 << 24

# Chunks per worker thread: enough for the scheduler to balance uneven
# chunks, few enough that each carries far more work than its message.
CHUNKS_PER_THREAD = 4

# Bytes of one candidate record and of one score record (remote.hpp).
_CAND_BYTES = 10
_SCORE_BYTES = 50


@dataclass
class LevelReport:
    """How one expansion level was scored."""

    level: int
    candidates: int
    remote: bool
    chunks: int = 0
    bytes_sent: int = 0  # members and candidate records, once each
    bytes_back: int = 0  # score records
    seconds: float = 0.0


class ClusterScorer:
    """The level scorer of one search on a ``dask.distributed.Client``.

    ``chunk`` fixes the candidates per task (None: the level's candidates
    over ``CHUNKS_PER_THREAD`` tasks per worker thread); ``min_work`` is the
    candidate-rows below which a level is scored locally; ``report``, when
    given, is called with each level's LevelReport.
    """

    def __init__(
        self,
        client: Any,
        X: npt.NDArray[np.float64],
        y: npt.NDArray[np.float64],
        *,
        chunk: int | None = None,
        min_work: int = MIN_WORK,
        retries: int = 2,
        report: Any = None,
    ) -> None:
        if chunk is not None and chunk < 1:
            raise ValueError(f"chunk must be a positive number of candidates, not {chunk}")
        self.client = client
        self.X, self.y = X, y
        self.chunk, self.min_work, self.retries, self.report = chunk, min_work, retries, report
        self.token = uuid.uuid4().hex
        self.levels: list[LevelReport] = []
        self._data: list[Any] | None = None
        self._batches: list[Any] = []
        self._raw: list[bytes] = []  # the members of every level sent, to send again

    def __call__(
        self, level: int, setup: bytes, members: bytes, beam_size: int, cands: bytes, count: int
    ) -> bytes | None:
        rows = len(self.y)
        if count * rows < self.min_work:
            self._done(LevelReport(level, count, remote=False))
            return None
        start = time.perf_counter()
        futures: list[Any] = []
        self._raw.append(members)
        try:
            if self.client.status not in ("running", "connecting", "newly-created"):
                raise ConnectionError(f"the Dask client is {self.client.status}")
            sent = len(members) + len(cands)
            for attempt in range(self.retries + 1):
                if self._data is None:
                    self._data = self.client.scatter([self.X, self.y], broadcast=True, hash=False)
                    sent += self.X.nbytes + self.y.nbytes
                # A lost worker can take the only copy of scattered data with
                # it; then the level's tasks are cancelled and everything
                # goes out again.
                while len(self._batches) < len(self._raw):
                    self._batches.append(self.client.scatter(self._raw[len(self._batches)], broadcast=True, hash=False))
                size = self.chunk or max(1, -(-count // (CHUNKS_PER_THREAD * self._threads())))
                futures = [
                    self.client.submit(
                        _score,
                        self.token,
                        setup,
                        self._data[0],
                        self._data[1],
                        list(self._batches),
                        cands[first * _CAND_BYTES : min(count, first + size) * _CAND_BYTES],
                        key=f"vek-score-{self.token}-{level}-{i}-{attempt}",
                        retries=self.retries,
                        pure=False,
                    )
                    for i, first in enumerate(range(0, count, size))
                ]
                try:
                    scores = b"".join(self.client.gather(futures))
                    break
                except CancelledError:
                    if attempt == self.retries:
                        raise
                    self._data, self._batches = None, []
                    sent += sum(len(b) for b in self._raw)
        except BaseException as exc:
            if futures:
                try:
                    self.client.cancel(futures)
                except Exception:  # the cluster may be gone: nothing to cancel then
                    pass
            if isinstance(exc, (OSError, TimeoutError, CancelledError)) or type(exc).__name__ == "KilledWorker":
                raise ConnectionError(f"the Dask cluster was lost while level {level} was scored: {exc!r}") from exc
            raise
        self._done(LevelReport(level, count, True, len(futures), sent, len(scores), time.perf_counter() - start))
        return scores

    def close(self) -> None:
        """Lets the workers drop this search's replicas (best effort: the
        cluster may be gone)."""
        if self._data is None:
            return
        self._data, self._batches, self._raw = None, [], []
        try:
            self.client.run(_forget, self.token)
        except Exception:
            pass

    def _threads(self) -> int:
        info = self.client.scheduler_info()
        return max(1, sum(int(w.get("nthreads", 1)) for w in info.get("workers", {}).values()))

    def _done(self, r: LevelReport) -> None:
        self.levels.append(r)
        if self.report is not None:
            self.report(r)


def verbose_report(r: LevelReport) -> None:
    """A level's report on stderr (the estimator's verbose output)."""
    if r.remote:
        text = (
            f"level {r.level}: {r.candidates} candidates scored on the cluster in {r.chunks} chunks, "
            f"{r.bytes_sent / 1e6:.2f} MB sent, {r.bytes_back / 1e6:.2f} MB back, {r.seconds:.2f}s\n"
        )
    else:
        text = (
            f"level {r.level}: {r.candidates} candidates scored locally: too little work for the cluster "
            f"(candidates x rows below {MIN_WORK})\n"
        )
    say(text)


def say(text: str) -> None:
    """Writes a line of verbose output on stderr; a failing stream costs
    nothing."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(text)
        stream.flush()
    except (OSError, ValueError, AttributeError):
        pass


# Worker side: one replica per fit (the latest few), with the batches of
# members applied to it.
_lock = threading.Lock()
_replicas: dict[str, tuple[CapsuleType, list[int]]] = {}
_KEEP = 2


def _forget(token: str) -> None:
    with _lock:
        _replicas.pop(token, None)


def _score(
    token: str,
    setup: bytes,
    X: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    batches: list[bytes],
    cands: bytes,
) -> bytes:
    with _lock:
        entry = _replicas.get(token)
        if entry is None:
            while len(_replicas) >= _KEEP:
                del _replicas[next(iter(_replicas))]
            # Arrays that travelled may sit at any address in their message.
            X, y = (np.require(a, dtype=np.float64, requirements=["C", "A"]) for a in (X, y))
            entry = _replicas[token] = (_engine.replica(X, y, setup), [0])
        replica, applied = entry
        for batch in batches[applied[0] :]:
            _engine.replica_extend(replica, batch)
        applied[0] = max(applied[0], len(batches))
    return _engine.score_chunk(replica, cands, n_threads=1)
