"""The memory budget: sizes, what the system reports, and pages admitted within it."""

import threading
import time

import pytest

from zerbano import admission, batch
from zerbano.inputs import Page

MB = 1 << 20


@pytest.mark.parametrize("text, size", [
    ("300M", 300 * MB), ("2G", 2 << 30), ("1.5g", 3 << 29), ("512KiB", 512 << 10),
    ("4096", 4096), (" 64 mb ", 64 * MB), (".5K", 512),
])
def test_sizes(text, size):
    assert admission.parse_size(text) == size


@pytest.mark.parametrize("text", ["", "M", "-1G", "0", "1X", "2 G B", "nan", "1e9"])
def test_not_sizes(text):
    with pytest.raises(ValueError):
        admission.parse_size(text)


def fake_system(root, memory_lines):
    """A /proc and /sys under `root`: MemAvailable 8 GB, a v1 memory group two levels down
    and a v2 group, each holding the files given."""
    def write(path, text):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    write(root / "proc/meminfo", "MemTotal: 16000000 kB\nMemAvailable: 8388608 kB\n")
    write(root / "proc/self/cgroup", "4:memory:/jobs/one\n0::/service\n")
    write(root / "proc/self/mountinfo",
          "30 23 0:26 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
          "31 23 0:27 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n")
    for folder, files in memory_lines.items():
        for name, text in files.items():
            write(root / "sys/fs/cgroup" / folder / name, text)


UNLIMITED_V1 = {"memory.limit_in_bytes": "9223372036854771712\n",
                "memory.usage_in_bytes": "1000\n"}


@pytest.mark.parametrize("groups, available", [
    ({}, 8 << 30),  # no group files: MemAvailable alone
    ({"memory/jobs/one": {"memory.limit_in_bytes": str(384 * MB),
                          "memory.usage_in_bytes": str(100 * MB),
                          "memory.stat": f"cache 1\ntotal_inactive_file {36 * MB}\n"},
      "memory/jobs": UNLIMITED_V1}, 320 * MB),
    ({"memory/jobs": {"memory.limit_in_bytes": str(1 << 30),
                      "memory.usage_in_bytes": str(900 * MB)},
      "memory/jobs/one": UNLIMITED_V1}, 124 * MB),  # the group above is the tighter
    ({"unified/service": {"memory.max": str(512 * MB), "memory.current": str(12 * MB),
                          "memory.stat": "inactive_file 0\n"},
      "unified": {"memory.max": "max\n", "memory.current": "5\n"}}, 500 * MB),
])
def test_available_memory_is_the_tightest_report(tmp_path, groups, available):
    fake_system(tmp_path, groups)
    assert admission.available_memory(str(tmp_path)) == available
    assert admission.default_budget(0.5, str(tmp_path)) == available // 2


def test_nothing_reported(tmp_path):
    assert admission.available_memory(str(tmp_path)) is None
    assert admission.default_budget(root=str(tmp_path)) is None


def pages_named(*names):
    return [Page(name, name, name) for name in names]


def run_counting(pages, costs, jobs, budget, fail=()):
    """run_pages with a work that records the estimated bytes in flight at each start."""
    lock = threading.Lock()
    in_flight, seen = [0], []

    def work(page, stopping):
        with lock:
            in_flight[0] += costs[page.label]
            seen.append((page.label, in_flight[0]))
        time.sleep(0.02)
        with lock:
            in_flight[0] -= costs[page.label]
        if page.label in fail:
            raise ValueError(f"{page.label} failed")

    def weigh(page):
        if costs[page.label] is None:
            raise ValueError("too large")
        return costs[page.label]

    outcome = batch.run_pages(pages, jobs, lambda: None, work=work, weigh=weigh, budget=budget)
    return outcome, seen


def test_pages_in_flight_stay_within_the_budget():
    costs = {"a": 40, "b": 40, "c": 250, "d": 40, "e": 30, "f": 30, "g": None, "h": 60}
    outcome, seen = run_counting(pages_named(*costs), costs, jobs=4, budget=100, fail={"e"})
    assert sorted(label for label, _ in seen) == ["a", "b", "c", "d", "e", "f", "h"]
    for label, total in seen:
        # A page over the whole budget runs alone; every other start fits the budget.
        assert total == 250 if label == "c" else total <= 100, seen
    assert [label for label, _ in seen].index("c") == 2  # started in order, not skipped
    assert outcome.written == 6 and outcome.failures == {4: "e failed", 6: "too large"}


def test_no_budget_runs_jobs_at_once():
    costs = dict.fromkeys("abcdef", 10 ** 12)
    _, seen = run_counting(pages_named(*costs), costs, jobs=3, budget=None)
    assert max(total for _, total in seen) == 3 * 10 ** 12
