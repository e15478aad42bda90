"""One search across a Dask cluster: the local result bit for bit, a lost
worker, a lost cluster, Ctrl-C, and the local fallback for small levels."""

from __future__ import annotations

import os
import pickle
import signal
import threading
import time
import warnings

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
pytest.importorskip("sklearn")

from sklearn.base import clone  # noqa: E402

from vek_math import SymbolicRegressor, _cluster, _engine  # noqa: E402
from vek_math._search import SearchStoppedWarning  # noqa: E402

OPTIONS = dict(constants=True, max_params=6, max_complexity=6, beam_width=300, complexity_penalty=0.01)


def make_cluster(**kw):
    return distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1", dashboard_address="127.0.0.1:0", **kw
    )


@pytest.fixture(scope="module")
def client():
    with make_cluster() as cluster, distributed.Client(cluster) as c:
        yield c


def data(rows=500, seed=3):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.0, (rows, 3))
    y = 1.7 * np.exp(0.4 * X[:, 0]) + X[:, 1] * X[:, 2] + 0.01 * rng.standard_normal(rows)
    return np.ascontiguousarray(X), y


def outcome(o):
    """Every fact of an outcome, floats compared exactly."""
    rec = lambda r: (r.nodes, r.formula, r.complexity, r.loss, r.error, tuple(r.params))  # noqa: E731
    return rec(o.best), [rec(r) for r in o.front], o.stopped, o.levels, o.generated, o.scored


def vek_tasks(client):
    return client.run_on_scheduler(
        lambda dask_scheduler: sum(str(k).startswith("vek-score") for k in dask_scheduler.tasks)
    )


@pytest.fixture(scope="module")
def local():
    X, y = data()
    return outcome(_engine.search(X, y, **OPTIONS))


@pytest.mark.parametrize("chunk", [None, 97, 100_000])
def test_cluster_search_is_the_local_search(client, local, chunk):
    X, y = data()
    scorer = _cluster.ClusterScorer(client, X, y, chunk=chunk, min_work=0)
    assert outcome(_engine.search(X, y, scorer=scorer, **OPTIONS)) == local
    assert scorer.levels and all(r.remote for r in scorer.levels)
    if chunk == 97:
        assert all(r.chunks == -(-r.candidates // 97) for r in scorer.levels)


def test_estimator_on_cluster_equals_local_and_falls_back_when_small(client, monkeypatch, capsys):
    X, y = data()
    opts = {k: v for k, v in OPTIONS.items() if k != "constants"}
    here = SymbolicRegressor(**opts).fit(X, y)
    # Levels this small stay local: nothing reaches the cluster.
    small = SymbolicRegressor(client=client, verbose=True, **opts).fit(X, y)
    assert "scored locally" in capsys.readouterr().err and vek_tasks(client) == 0
    monkeypatch.setattr(_cluster, "MIN_WORK", 0)
    client.run(lambda: _cluster._replicas.clear())  # those of searches run without the estimator
    there = SymbolicRegressor(client=client, verbose=True, **opts).fit(X, y)
    assert "scored on the cluster" in capsys.readouterr().err
    # The workers let go of the fit's replicas once it ends.
    deadline = time.monotonic() + 10
    while any(client.run(lambda: len(_cluster._replicas)).values()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(client.run(lambda: len(_cluster._replicas)).values())
    for est in (small, there):
        assert est.formula_ == here.formula_ and est.equations_.equals(here.equations_)
    # A subsample and a warm start reach the workers as they reach the local search.
    for extra in ({"max_samples": 300}, {"warm_start": True}):
        fits = [SymbolicRegressor(client=c, **extra, **opts).fit(X, y) for c in (None, client)]
        for est in fits:
            est.set_params(max_complexity=7).fit(X, y)
        assert fits[0].formula_ == fits[1].formula_ and fits[0].equations_.equals(fits[1].equations_)
    # Row weights keep the search local (the replicas score unweighted rows).
    w = np.linspace(0.5, 2.0, len(y))
    weighted = [SymbolicRegressor(client=c, verbose=True, **opts).fit(X, y, sample_weight=w) for c in (None, client)]
    assert "runs locally" in capsys.readouterr().err
    assert weighted[0].equations_.equals(weighted[1].equations_)
    # Clones share the client; a pickled model leaves it behind.
    assert clone(there).client is client
    again = pickle.loads(pickle.dumps(there))
    assert again.client is None and np.array_equal(again.predict(X), there.predict(X), equal_nan=True)
    with pytest.raises(ValueError, match="constants=True"):
        SymbolicRegressor(client=client, constants=False).fit(X, y)


def when_scoring(client, action, level=2):
    """Runs action() on a thread once a level >= `level` has tasks on a worker."""

    def watch():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            tags = (f"-{level}-", f"-{level + 1}-")
            busy = [w for w, ks in client.processing().items() if any(t in k for k in ks for t in tags)]
            if busy:
                action(busy[0])
                return
            time.sleep(0.005)

    t = threading.Thread(target=watch, daemon=True)
    t.start()
    return t


def test_a_worker_killed_mid_level_changes_nothing(client):
    X, y = data(rows=3000)  # level 2 long enough for the watcher to see it
    local = outcome(_engine.search(X, y, **OPTIONS))
    pids = client.run(os.getpid)
    killed = []
    watcher = when_scoring(client, lambda w: (killed.append(w), os.kill(pids[w], signal.SIGKILL)))
    scorer = _cluster.ClusterScorer(client, X, y, chunk=40, min_work=0)
    assert outcome(_engine.search(X, y, scorer=scorer, **OPTIONS)) == local
    watcher.join()
    assert killed
    client.wait_for_workers(2, timeout=60)


def test_ctrl_c_cancels_the_level_and_keeps_the_finished_levels(client, monkeypatch):
    X, y = data(rows=4000)
    sent = []

    def interrupt(worker):
        sent.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    watcher = when_scoring(client, interrupt)
    est = SymbolicRegressor(client=client, **{**OPTIONS, "max_complexity": 8, "beam_width": 2000})
    monkeypatch.setattr(_cluster, "MIN_WORK", 0)
    with pytest.warns(SearchStoppedWarning, match="interrupted"):
        est.fit(X, y)
    watcher.join()
    assert sent and time.monotonic() - sent[0] < 10
    assert est.stopped_ == "interrupted" and est.formula_
    deadline = time.monotonic() + 10
    while vek_tasks(client) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert vek_tasks(client) == 0


def test_a_lost_cluster_ends_the_fit_with_the_finished_levels():
    X, y = data()
    import dask

    with dask.config.set({"distributed.comm.timeouts.connect": "2s"}):
        cluster = make_cluster()
        c = distributed.Client(cluster)
        try:

            def progress(level, generated, scored, best):
                if level == 2:
                    cluster.close()

            scorer = _cluster.ClusterScorer(c, X, y, min_work=0)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                out = _engine.search(X, y, scorer=scorer, progress=progress, **OPTIONS)
        finally:
            c.close()
            cluster.close()
    assert out.stopped == "cluster" and out.levels == 3 and out.best is not None
