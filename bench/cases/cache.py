"""The large payload packed warm, from the stream cache, against cold."""

import os
import statistics
import sys

from common.processes import fresh_dir, run_timed
from common.rounds import Case, interleave, spread, verdict


def measure_cache(bench):
    """The benchmark payload packed cold (into an empty cache) and warm."""
    cache = bench.path("cache-payload")
    out = bench.path("cached")
    command = bench.pack_command("x86_64", out, bench.files, cache=True)
    os.environ["SFXPACK_CACHE"] = cache
    plain = bench.path("uncached")
    colds = []
    uncached = []
    for r in range(bench.args.cold_rounds):
        fresh_dir(cache)
        print(f"  cache: cold pack {r + 1}/{bench.args.cold_rounds}", file=sys.stderr)
        colds.append(run_timed(command))
        uncached.append(run_timed(bench.pack_command("x86_64", plain, bench.files)))
    warm = Case("warm", lambda: run_timed(command))
    interleave([warm], bench.args.warm_rounds, label="warm packs")
    with open(out, "rb") as a, open(plain, "rb") as b:
        if a.read() != b.read():
            sys.exit("bench: the warm launcher differs from the one packed without the cache")
    cold_median = statistics.median(c.wall for c in colds)
    ratio = [cold_median / w.wall for w in warm.samples]
    bench.row("**warm against cold pack**, benchmark payload",
              f"warm: {spread(warm.walls(), '{:.2f}')} s; CPU "
              f"{spread([x.cpu for x in warm.samples], '{:.2f}')} s",
              f"cold, into an empty cache: {spread([c.wall for c in colds], '{:.1f}')} s; CPU "
              f"{spread([c.cpu for c in colds], '{:.1f}')} s",
              f"{spread(ratio, '{:.0f}')}×",
              "≥ 20×: " + verdict(statistics.median(ratio) >= 20))
    # On a loaded machine the wall times of two single packs say more
    # about the load than about the packs: the CPU time is the work.
    cost = [c.cpu / u.cpu for c, u in zip(colds, uncached)]
    bench.row("", "", f"the same, --no-cache: {spread([u.wall for u in uncached], '{:.1f}')} s; "
              f"CPU {spread([u.cpu for u in uncached], '{:.1f}')} s",
              f"CPU of cold into the cache / --no-cache: {spread(cost, '{:.3f}')}",
              "cold packs no slower (≤ 1.05): " + verdict(statistics.median(cost) <= 1.05))


def run(bench):
    measure_cache(bench)
