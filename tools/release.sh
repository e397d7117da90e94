#!/bin/bash
# release.sh - build every artifact of a zerbano release into dist/: the sdist and one wheel a
# platform. Each artifact passed its platform's whole test suite before it is kept; dist/ is
# replaced only once all of them have, and pip on each platform picks its own wheel from them.
#
# usage: tools/release.sh [PLATFORM...]
#   PLATFORM   SUITE-ARCH as tools/debian.sh names them; default every one of:
#
#   bookworm-amd64     cp311 x86_64 (manylinux): Debian 12, and this machine's Python 3.11
#                      with numpy and OpenCV from PyPI (the wheel installed into a clean venv)
#   trixie-amd64       cp313 x86_64 (manylinux): Debian 13
#   forky-amd64        cp314 x86_64 (manylinux): Debian testing
#   forky-py315-amd64  cp315 x86_64 (manylinux): Debian testing's python3.15, numpy and
#                      OpenCV from PyPI (tools/pypi-requirements.txt)
#   bookworm-arm64     cp311 aarch64 (manylinux): Debian 12 arm64 under qemu
#   trixie-arm64       cp313 aarch64 (manylinux): Debian 13 arm64 under qemu
#   forky-py315-arm64  cp315 aarch64 (manylinux): as forky-py315-amd64, arm64 under qemu
#   bookworm-armhf   cp311 ARMv6 + VFPv2 (linux_armv6l, linux_armv7l): Debian 12 armhf under qemu
#   trixie-armhf     cp313 ARMv6 + VFPv2 (linux_armv6l, linux_armv7l): Debian 13 armhf under qemu
#
# The sdist is always built: installed from the file with pip into a clean venv on this machine
# (compiled there), and the suite it ships run against that install.
#
# Each wheel: tools/debian.sh SUITE ARCH all (build, manylinux tag, suite, install-check, and
# on amd64 the debug-interpreter reference-count check), then choose-check with every artifact.
# Needs root (tools/debian.sh). ZERBANO_RELEASE_ROOTFS_JOBS: root file systems made at once (2).
set -euo pipefail

REPO=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
ALL=(bookworm-amd64 trixie-amd64 forky-amd64 forky-py315-amd64 bookworm-arm64 trixie-arm64
     forky-py315-arm64 bookworm-armhf trixie-armhf)
STAGING=$REPO/build/release
DEBIAN=$REPO/tools/debian.sh

log() { printf '[release %(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
die() { printf 'release.sh: %s\n' "$*" >&2; exit 1; }

# a platform is SUITE-ARCH, and a SUITE may name its Python (forky-py315)
debian() { local p=$1; shift; bash "$DEBIAN" "${p%-*}" "${p##*-}" "$@"; }

if [ "${1:-}" = __rootfs ]; then
  # one worker of the root file system step below
  debian "$2" rootfs > "$STAGING/rootfs-$2.log" 2>&1 ||
    { tail -40 "$STAGING/rootfs-$2.log" >&2; echo "release.sh: $2: no root file system" >&2; exit 255; }
  exit 0
fi

platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=("${ALL[@]}")
for p in "${platforms[@]}"; do
  [[ " ${ALL[*]} " == *" $p "* ]] || die "unknown platform '$p' (one of: ${ALL[*]})"
done

# test_in_venv ARTIFACT TESTS_DIR: pip installs ARTIFACT with the test extra (numpy, OpenCV,
# Dask, pytest from PyPI) into a clean venv of this machine's python3, and runs the suite in
# TESTS_DIR against it, from outside the checkout.
test_in_venv() {
  local artifact=$1 tests=$2 venv=$STAGING/venv
  rm -rf "$venv"
  python3 -m venv "$venv"
  log "pip install $(basename "$artifact")[test] into a clean venv"
  "$venv/bin/pip" install -q "$artifact[test]"
  (cd "$STAGING" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$tests")
  rm -rf "$venv"
}

rm -rf "$STAGING"
mkdir -p "$STAGING/artifacts"
started=$SECONDS
tools=$(debian bookworm-amd64 tools-venv)

# The root file systems first, two at a time: making one the first time is minutes of mostly
# single-threaded work (dpkg, under emulation for ARM); the suites then run one at a time on
# an otherwise idle machine. Reused at once when cached.
for p in "${platforms[@]}"; do debian "$p" deps; done
log "root file systems, ${ZERBANO_RELEASE_ROOTFS_JOBS:-2} at a time (logs: $STAGING/rootfs-*.log)"
printf '%s\n' "${platforms[@]}" |
  xargs -P "${ZERBANO_RELEASE_ROOTFS_JOBS:-2}" -n 1 bash "$REPO/tools/release.sh" __rootfs

log "sdist"
"$tools/bin/python" -m build --sdist --outdir "$STAGING/sdist" "$REPO" > "$STAGING/sdist.log" 2>&1 ||
  { cat "$STAGING/sdist.log" >&2; die "the sdist did not build"; }
sdist=$(ls "$STAGING"/sdist/*.tar.gz)
tar -C "$STAGING/sdist" -xzf "$sdist"
test_in_venv "$sdist" "$(ls -d "$STAGING"/sdist/*/)tests"
cp "$sdist" "$STAGING/artifacts/"

for p in "${platforms[@]}"; do
  log "$p: build and whole suite (at $((SECONDS - started)) s)"
  debian "$p" all
  wheel=$(ls "$REPO/build/$p/dist/"*.whl)
  if [ "$p" = bookworm-amd64 ]; then
    # the wheel a PC user's pip takes: on a Python that is not Debian's, with PyPI's builds
    test_in_venv "$wheel" "$REPO/tests"
  fi
  cp "$wheel" "$STAGING/artifacts/"
done

"$tools/bin/twine" check --strict "$STAGING"/artifacts/*
for p in "${platforms[@]}"; do debian "$p" choose-check "$STAGING/artifacts"; done

rm -rf "$REPO/dist"
cp -r "$STAGING/artifacts" "$REPO/dist"
log "dist/ (in $((SECONDS - started)) s):"
ls -l "$REPO/dist" >&2
