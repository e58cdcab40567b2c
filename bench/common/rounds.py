"""Comparisons made in one run: commands interleaved round by round, the
order rotating, and their figures as medians with the range and as ratios
taken round by round."""

import statistics
import sys


class Case:
    """One command of a comparison: prepare (untimed), then run (timed)."""

    def __init__(self, name, run, prepare=None):
        self.name = name
        self.run = run
        self.prepare = prepare
        self.samples = []

    def walls(self, scale=1.0):
        return [s.wall * scale for s in self.samples]


def interleave(cases, rounds, warmup=1, label=""):
    """A B C, B C A, C A B ...: every round runs each case once, the order
    rotating so that no case always follows the same neighbour."""
    for r in range(warmup + rounds):
        shift = r % len(cases)
        for case in cases[shift:] + cases[:shift]:
            if case.prepare:
                case.prepare()
            sample = case.run()
            if r >= warmup:
                case.samples.append(sample)
        if label and (r + 1) % max(1, (warmup + rounds) // 5) == 0:
            print(f"  {label}: round {r + 1}/{warmup + rounds}", file=sys.stderr)


def spread(values, fmt="{:.2f}"):
    return (f"{fmt.format(statistics.median(values))} "
            f"({fmt.format(min(values))}–{fmt.format(max(values))})")


def speedup(a, b):
    """Round by round, how many times less wall time a took than b."""
    return [y.wall / x.wall for x, y in zip(a.samples, b.samples)]


def verdict(ok):
    return "met" if ok else "**not met**"
