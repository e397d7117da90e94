"""How much memory pages may take at once, and which pages may start now.

A batch runs a page only while the estimated peak memory of the pages in flight, this one
included, stays within a budget; a page larger than the whole budget runs, alone. The budget
defaults to a share of what the system reports available: the smaller of /proc/meminfo's
MemAvailable and, for each memory cgroup this process lies in (v1 or v2, its own group and
every group above it), the group's limit less its usage. So a board with 512 MB, or a
container with a memory limit, gets as many pages at once as fit, whatever --jobs says.

Nothing here knows what a page does: the batch gives each page's estimate in bytes.
"""

import os
import re

DEFAULT_SHARE = 0.75  # of the available memory; the rest covers estimates that run short
_UNLIMITED = 1 << 60  # cgroup v1 writes "no limit" as a number near 2**63
_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([KMGT]?)(?:I?B)?\s*", re.IGNORECASE)


class Admission:
    """Tracks the estimated bytes of the pages in flight against a budget (None: no budget).

    fits(cost) tells whether a page of `cost` bytes may start now: when nothing is in flight
    (so a page larger than the budget still runs, alone), or when it fits beside the others.
    """

    def __init__(self, budget):
        self.budget = budget
        self.in_flight = 0
        self.count = 0

    def fits(self, cost):
        return self.budget is None or self.count == 0 or self.in_flight + cost <= self.budget

    def admit(self, cost):
        self.in_flight += cost
        self.count += 1

    def release(self, cost):
        self.in_flight -= cost
        self.count -= 1


def parse_size(text):
    """Bytes from "300M", "2G", "1.5g", "512KiB" or a plain number of bytes (units of 1024).

    Raises ValueError for anything else, or for less than one byte.
    """
    match = _SIZE.fullmatch(text)
    if not match:
        raise ValueError(f"not a size: {text!r}")
    size = int(float(match.group(1)) * _UNITS[match.group(2).upper()])
    if size < 1:
        raise ValueError(f"not a size of at least one byte: {text!r}")
    return size


def default_budget(share=DEFAULT_SHARE, root="/"):
    """`share` of available_memory(), or None when the system reports nothing."""
    available = available_memory(root)
    return None if available is None else int(available * share)


def available_memory(root="/"):
    """The bytes this process can still take: the smallest of MemAvailable and every memory
    cgroup's limit less its usage (reclaimable file cache not counted as used). None when
    none of them can be read. `root` lets tests point at a made-up /proc and /sys."""
    found = []
    meminfo = _read_fields(os.path.join(root, "proc/meminfo"))
    kilobytes = _number(meminfo.get("MemAvailable", "").split(" ")[0])
    if kilobytes is not None:
        found.append(kilobytes * 1024)
    for folder, version in _cgroup_folders(root):
        found.append(_cgroup_room(folder, version))
    found = [room for room in found if room is not None]
    return max(0, min(found)) if found else None


def _cgroup_room(folder, version):
    if version == 1:
        limit = _read_number(os.path.join(folder, "memory.limit_in_bytes"))
        usage = _read_number(os.path.join(folder, "memory.usage_in_bytes"))
        inactive = _read_fields(os.path.join(folder, "memory.stat")).get("total_inactive_file")
    else:
        limit = _read_number(os.path.join(folder, "memory.max"))  # "max": no limit, None
        usage = _read_number(os.path.join(folder, "memory.current"))
        inactive = _read_fields(os.path.join(folder, "memory.stat")).get("inactive_file")
    if limit is None or limit >= _UNLIMITED or usage is None:
        return None
    return limit - max(0, usage - (_number(inactive) or 0))


def _cgroup_folders(root):
    """(folder, version) of each memory cgroup of this process and of the groups above it."""
    try:
        with open(os.path.join(root, "proc/self/cgroup")) as file:
            memberships = [line.rstrip("\n").split(":", 2) for line in file]
        with open(os.path.join(root, "proc/self/mountinfo")) as file:
            mounts = [line.split() for line in file]
    except OSError:
        return []
    folders = []
    for fields in memberships:
        if len(fields) != 3:
            continue
        hierarchy, controllers, path = fields
        version = 2 if hierarchy == "0" and controllers == "" else 1
        if version == 1 and "memory" not in controllers.split(","):
            continue
        mount = _mount_of(mounts, version)
        if mount is None:
            continue
        mount_root, mount_point = mount
        # The mount shows the hierarchy from mount_root down; a container often sees its
        # own group as the mount's top.
        relative = os.path.relpath(path, mount_root)
        if relative.startswith(".."):
            relative = "."
        folder = os.path.normpath(os.path.join(root, mount_point.lstrip("/"), relative))
        top = os.path.normpath(os.path.join(root, mount_point.lstrip("/")))
        while True:
            folders.append((folder, version))
            if folder == top or len(folder) < len(top):
                break
            folder = os.path.dirname(folder)
    return folders


def _mount_of(mounts, version):
    for fields in mounts:
        if "-" not in fields:
            continue
        dash = fields.index("-")
        kind, options = fields[dash + 1], fields[dash + 3] if len(fields) > dash + 3 else ""
        if (version == 2 and kind == "cgroup2") or (
                version == 1 and kind == "cgroup" and "memory" in options.split(",")):
            return fields[3], fields[4]
    return None


def _read_fields(path):
    try:
        with open(path) as file:
            pairs = (line.replace(":", " ", 1).split(None, 1) for line in file)
            return {pair[0]: pair[1].strip() for pair in pairs if len(pair) == 2}
    except OSError:
        return {}


def _read_number(path):
    try:
        with open(path) as file:
            return _number(file.read().strip())
    except OSError:
        return None


def _number(text):
    try:
        return int(text)
    except (TypeError, ValueError):
        return None
