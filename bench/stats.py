"""Small statistics shared by the benchmarks."""


def quantile(values, q):
    """The q-quantile of `values` (0 <= q <= 1), interpolated linearly between neighbours."""
    ordered = sorted(values)
    position = (len(ordered) - 1) * q
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)
