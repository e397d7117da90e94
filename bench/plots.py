"""The benchmarks' figures, drawn from their own results for the documentation site.

Each function takes plain data (names, numbers, booleans), not a benchmark's objects, so that
any run can feed it: a fresh one, one saved with --json, or another data set altogether (the
real documents give capital heights and exact reads just as the synthetic captures do). Each
writes one PNG file. matplotlib belongs to the benchmarks' environment, not to zerbano's
dependencies; it is imported here only, when a figure is drawn.
"""

import math
import os
import statistics

from stats import quantile

# Capital heights are grouped into these bands (pixels), trimmed to the heights present.
HEIGHT_EDGES = (6, 8, 10, 12, 14, 17, 20, 25, 30, 40, 60, 80, 120, 200, 400)
WIDTH_INCHES, HEIGHT_INCHES, DPI = 7.0, 3.8, 110
MARKERS = "osD^v<>"


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")  # files only, no display
    from matplotlib import pyplot

    return pyplot


def _finish(pyplot, figure, path, note):
    if note:
        figure.text(0.01, 0.01, note, fontsize=7.5, color="0.35", va="bottom", wrap=True)
        figure.tight_layout(rect=(0, 0.06 + 0.03 * note.count("\n"), 1, 1))
    else:
        figure.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    # No creation date or software version in the file: the same data gives the same bytes.
    figure.savefig(path, dpi=DPI, metadata={"Software": None})
    pyplot.close(figure)
    return path


def height_bands(heights, edges=HEIGHT_EDGES):
    """The bands [(low, high), ...] of `edges` that hold at least one of `heights`."""
    bands = list(zip(edges, edges[1:]))
    used = [band for band in bands if any(band[0] <= h < band[1] for h in heights)]
    outside = [h for h in heights if h < edges[0] or h >= edges[-1]]
    if outside:
        raise ValueError(f"capital heights outside {edges[0]}-{edges[-1]} px: "
                         f"{sorted(outside)[:5]}")
    return used


def exact_by_height(path, series, title, note=None, edges=HEIGHT_EDGES):
    """Share of zones read exactly, by capital height: one line a reader.

    `series` maps a reader's label to [(capital height in px, read exactly: bool), ...]; a
    band where a reader has no zone has no point for it. Returns `path`.
    """
    pyplot = _pyplot()
    heights = [height for outcomes in series.values() for height, _ in outcomes]
    bands = height_bands(heights, edges)
    figure, axes = pyplot.subplots(figsize=(WIDTH_INCHES, HEIGHT_INCHES))
    for index, (label, outcomes) in enumerate(series.items()):
        shares = []
        for low, high in bands:
            inside = [exact for height, exact in outcomes if low <= height < high]
            shares.append(100.0 * sum(inside) / len(inside) if inside else math.nan)
        axes.plot(range(len(bands)), shares, marker=MARKERS[index % len(MARKERS)],
                  label=f"{label} ({len(outcomes)} zones)")
    axes.set_xticks(range(len(bands)), [f"{low}-{high}" for low, high in bands])
    axes.set_xlabel("capital height in the image (px)")
    axes.set_ylabel("zones read exactly (%)")
    axes.set_ylim(-3, 103)
    axes.grid(axis="y", alpha=0.3)
    axes.set_title(title, fontsize=10)
    axes.legend(fontsize=8, loc="best")
    return _finish(pyplot, figure, path, note)


def ms_by_size(path, series, title, note=None):
    """Median milliseconds a page by image size, one line a series (sizes in order of pixels,
    evenly spaced; times on a log scale).

    `series` maps a label to [(width, height, ms), ...], several ms a size allowed (their
    median is drawn, with a bar from the 25th to the 75th percentile). Returns `path`.
    """
    pyplot = _pyplot()
    figure, axes = pyplot.subplots(figsize=(WIDTH_INCHES, HEIGHT_INCHES))
    sizes = sorted({(w, h) for points in series.values() for w, h, _ in points},
                   key=lambda size: (size[0] * size[1], size))
    position = {size: index for index, size in enumerate(sizes)}
    for index, (label, points) in enumerate(series.items()):
        by_size = {}
        for width, height, ms in points:
            by_size.setdefault((width, height), []).append(ms)
        ordered = sorted(by_size, key=position.get)
        medians = [statistics.median(by_size[size]) for size in ordered]
        low = [m - quantile(by_size[size], 0.25) for m, size in zip(medians, ordered)]
        high = [quantile(by_size[size], 0.75) - m for m, size in zip(medians, ordered)]
        axes.errorbar([position[size] for size in ordered], medians, yerr=[low, high],
                      marker=MARKERS[index % len(MARKERS)], capsize=3, label=label)
    axes.set_yscale("log")
    axes.set_xticks(range(len(sizes)), [f"{w}x{h}" for w, h in sizes], fontsize=8)
    axes.set_xlim(-0.5, len(sizes) - 0.5)
    axes.set_xlabel("image size (pixels), in order of pixel count")
    axes.set_ylabel("ms a page (median, 25-75%)")
    axes.grid(alpha=0.3)
    axes.set_title(title, fontsize=10)
    axes.legend(fontsize=8, loc="best")
    return _finish(pyplot, figure, path, note)


def pages_per_second_by_jobs(path, series, title, note=None):
    """Pages per second by the number of pages at once (--jobs), one line a series.

    `series` maps a label to [(jobs, pages per second), ...], several rates a jobs count
    allowed (their median is drawn, with a bar from the lowest to the highest). Returns `path`.
    """
    pyplot = _pyplot()
    figure, axes = pyplot.subplots(figsize=(WIDTH_INCHES, HEIGHT_INCHES))
    counts = set()
    for index, (label, points) in enumerate(series.items()):
        by_jobs = {}
        for jobs, rate in points:
            by_jobs.setdefault(jobs, []).append(rate)
        jobs = sorted(by_jobs)
        counts.update(jobs)
        medians = [statistics.median(by_jobs[j]) for j in jobs]
        low = [m - min(by_jobs[j]) for m, j in zip(medians, jobs)]
        high = [max(by_jobs[j]) - m for m, j in zip(medians, jobs)]
        axes.errorbar(jobs, medians, yerr=[low, high], marker=MARKERS[index % len(MARKERS)],
                      capsize=3, label=label)
    axes.set_xticks(sorted(counts))
    axes.set_xlim(min(counts) - 0.5, max(counts) + 0.5)
    axes.set_ylim(bottom=0)
    axes.set_xlabel("pages at once (--jobs; Dask: worker processes)")
    axes.set_ylabel("pages per second")
    axes.grid(alpha=0.3)
    axes.set_title(title, fontsize=10)
    figure.set_size_inches(WIDTH_INCHES * 1.35, HEIGHT_INCHES)
    axes.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.02, 1))  # beside: points vary
    return _finish(pyplot, figure, path, note)
