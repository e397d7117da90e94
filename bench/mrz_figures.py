"""The MRZ benchmark's figures: bench/mrz.py's outcomes as plain data for bench/plots.py.

    python bench/mrz.py --plots docs/plots                        a run, then its figures
    python bench/mrz.py --report RUN.json --captures DIR --plots docs/plots   a saved run's
    python bench/mrz.py --truth DIR --plots docs/plots            real pages: exact by height

An outcome is read through its capture's truth (`char_height`, `frame`, `layout`, which is
None on a page without a zone) and its own `exact` and `seconds`, so any data set whose
outcomes carry those draws the same figures.
"""

import os

import plots

EXACT_FILE = "mrz-exact-by-height.png"
TIME_FILE = "mrz-ms-by-size.png"


def zones(outcomes):
    """The outcomes of pages that hold a zone, a reader's list each (readers without any
    left out)."""
    chosen = {name: [o for o in items if o.truth.get("layout") is not None]
              for name, items in outcomes.items()}
    return {name: items for name, items in chosen.items() if items}


def seeds_text(items):
    seeds = sorted(o.truth["seed"] for o in items)
    if seeds == list(range(seeds[0], seeds[-1] + 1)):
        return f"seeds {seeds[0]}-{seeds[-1]}"
    return f"{len(seeds)} seeds"


def absent_note(present, known):
    """A line naming the readers of `known` that this run has no outcomes for."""
    absent = [name for name in known if name not in present]
    if not absent:
        return None
    return ("Not in this run (not installed where it ran): " + ", ".join(absent)
            + ". The figure shows only the readers that ran.")


def draw(directory, outcomes, known=(), data_set="synthetic captures"):
    """Writes the figures of `outcomes` ({reader: [Outcome]}) into `directory`; returns their
    paths. `known` names every reader the benchmark has, so that a missing one is said."""
    found = zones(outcomes)
    if not found:
        return []
    largest = max(found.values(), key=len)
    title = f"Zones read exactly by capital height: {data_set} ({seeds_text(largest)})"
    series = {name: [(o.truth["char_height"], bool(o.exact)) for o in items]
              for name, items in found.items()}
    note = absent_note(found, known)
    paths = [plots.exact_by_height(os.path.join(directory, EXACT_FILE), series, title, note)]
    times = {name: [(*sorted(o.truth["frame"], reverse=True), o.seconds * 1000) for o in items]
             for name, items in found.items()}
    paths.append(plots.ms_by_size(
        os.path.join(directory, TIME_FILE), times,
        f"Reading the zone, decoding included, by frame size ({data_set}; one core)", note))
    return paths


def draw_real(directory, outcomes, folder, known=()):
    """The figure of a run over a folder of real pages: its scored zones read exactly, by
    capital height, written as `<folder's name>-exact-by-height.png`; returns its path."""
    series = {name: [(o.truth["char_height"], bool(o.exact)) for o in items
                     if o.scored and o.truth.get("char_height")]
              for name, items in outcomes.items()}
    series = {name: points for name, points in series.items() if points}
    if not series:
        return []
    name = os.path.basename(os.path.normpath(folder))
    pages = max(len(items) for items in outcomes.values())
    title = (f"Zones read exactly by capital height: {name} "
             f"({max(len(p) for p in series.values())} scored zones, {pages} pages)")
    path = os.path.join(directory, f"{name}-exact-by-height.png")
    return [plots.exact_by_height(path, series, title, absent_note(series, known))]
