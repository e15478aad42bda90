"""The progress display: a bar redrawn in place on a terminal, throttled
plain lines elsewhere."""

import io

import pytest

from vek_math._progress import Progress


class Stream(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self.tty = tty

    def isatty(self):
        return self.tty


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


def ticks(tty, times):
    """A Progress on a fake stream, ticked at each (seconds, done) of level 2 of 1000 candidates."""
    stream, clock = Stream(tty), Clock()
    p = Progress(["a"], stream=stream, clock=clock, redraw_every=0.1, plain_every=5.0)
    for t, done in times:
        clock.now = 100.0 + t
        p.tick(2, done, 1000, None if done == 0 else 0.125)
    return p, stream


def test_plain_lines_are_throttled_and_say_everything():
    _, stream = ticks(False, [(0, 0), (1, 100), (2, 200), (6, 600), (7, 700)])
    assert stream.getvalue().splitlines() == [
        "level 2: 0/1,000 candidates (0%), best loss -",
        "level 2: 600/1,000 candidates (60%), 100/s, best loss 0.125, ETA 4s",
    ]


def test_a_terminal_gets_one_bar_redrawn_then_the_level_line():
    p, stream = ticks(True, [(0, 0), (0.05, 10), (4, 400), (80, 999)])
    p.report(2, 1500, 1000, None)
    p.close()  # nothing left to end
    text = stream.getvalue()
    p.tick(3, 1, 10, None)
    p.close()  # ends the new bar's line
    assert stream.getvalue().endswith("\n") and stream.getvalue().count("\n") == 2
    bars = text.split("\r")[1:]
    assert len(bars) == 4 and "\n" not in "".join(bars[:3])  # the tick at 0.05 s was skipped
    assert bars[1] == "[##########..............] level 2: 400/1,000 candidates (40%), 100/s, best loss 0.125, ETA 6s"
    assert bars[2].startswith("[########################] level 2: 999/1,000 candidates (100%), 12/s")
    assert bars[2].endswith("ETA 0s")
    # The level's line overwrites the bar in full and ends it.
    assert bars[3].startswith("level 2: 1500 candidates, 1000 scored, best -  [")
    assert bars[3].endswith("\n") and len(bars[3].rstrip("\n")) >= len(bars[2])


@pytest.mark.parametrize(("seconds", "text"), [(59.4, "59s"), (61, "1m01s"), (3725, "1h02m")])
def test_eta_durations(seconds, text):
    _, stream = ticks(False, [(0, 0), (10, 10 / (10 + seconds) * 1000)])
    assert stream.getvalue().splitlines()[-1].endswith(f"ETA {text}")
