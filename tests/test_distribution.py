"""The installed distribution is the one built for this machine: its wheel tags name this
interpreter and platform (a retagged wheel must still say so), and every file it records is
the file on disk."""

import base64
import hashlib
import importlib.metadata

import pytest

tags = pytest.importorskip("packaging.tags")


@pytest.fixture(scope="module")
def distribution():
    return importlib.metadata.distribution("zerbano")


def test_wheel_tags_name_this_interpreter_and_platform(distribution):
    wheel = distribution.read_text("WHEEL")
    assert wheel is not None, "installed without a WHEEL file: not from a wheel"
    built_for = {
        line.partition(":")[2].strip() for line in wheel.splitlines() if line.startswith("Tag:")
    }
    supported = {str(tag) for tag in tags.sys_tags()}
    assert built_for & supported, f"{sorted(built_for)} are not among this machine's tags"


def test_recorded_files_match_their_hashes(distribution):
    checked = 0
    for record in distribution.files:
        if record.hash is None:  # RECORD itself, byte code written at install
            continue
        assert record.hash.mode == "sha256", record
        digest = hashlib.sha256(record.locate().read_bytes()).digest()
        assert base64.urlsafe_b64encode(digest).rstrip(b"=").decode() == record.hash.value, record
        checked += 1
    assert any(str(record).endswith(".so") for record in distribution.files)
    assert checked > 0
