#!/bin/bash
# debian.sh - build zerbano for a Debian system (a suite and an architecture) and run the test
# suite against that build inside a root file system of that system: natively for amd64,
# under qemu user-mode emulation for arm64 (ARMv8-A) and armhf (ARMv6 + VFPv2, hard-float ABI).
#
# usage: tools/debian.sh SUITE ARCH COMMAND [ARGS]
#   SUITE             bookworm (Python 3.11), trixie (3.13) or forky (3.14): the suite's default
#                     Python with the distribution's numpy and OpenCV. forky-py315: forky's
#                     python3.15, for which Debian has no OpenCV: numpy and OpenCV come from PyPI
#                     (pinned in tools/pypi-requirements.txt) in a venv the rootfs holds
#   ARCH              amd64, arm64 or armhf
#
#   deps              install the host tools (apt; needs root)
#   rootfs            make the root file system: reuse it when complete, else unpack the
#                     cached tarball, else debootstrap it (a few minutes, once)
#   build             build the wheel for the suite's Python into build/SUITE-ARCH/dist and
#                     unpack it into build/SUITE-ARCH/stage (what the tests import)
#   check             armhf: check-armv6 on the built module (after proving the checker on
#                     known-good and known-bad builds: check-selftest); amd64, arm64:
#                     manylinux-selftest (build already checked the wheel's manylinux policy)
#   check-armv6 SO... armhf: fail unless each SO is ARMv6 + VFPv2, hard-float, ARM mode only
#   test [PYTEST...]  run tests/ with the suite's python3 against build/SUITE-ARCH/stage
#   install-check     pip install the wheel into a venv in the rootfs, import it there
#   choose-check DIR  pip in the rootfs picks this platform's wheel from a release's artifacts
#                     in DIR and refuses each of the other wheels
#   debug-build       amd64: build against the suite's debug interpreter (Py_DEBUG) into
#                     build/SUITE-ARCH/debug/stage
#   refcount-check    amd64: every leak path under the debug interpreter, counting every
#                     reference (sys.gettotalrefcount) against the plain-Python twin
#   bench [ARGS]      bench/run.py with the suite's python3 against the stage
#   run CMD...        run CMD inside the rootfs (checkout at /src, stage at /stage)
#   tools-venv        make build/tools-venv, the host's release tools (SUITE and ARCH unused)
#   all               deps, rootfs, build, check, test, install-check, and for amd64
#                     debug-build and refcount-check
#
# Environment:
#   ZERBANO_DEBIAN_PYTHON   the suite's Python to use, for every command: 3.15 with forky is
#                           forky-py315 (default: the suite's own, or the one SUITE names)
#   ZERBANO_DEBIAN_CACHE    cache dir for root file systems and tarballs (/var/cache/zerbano-debian)
#   ZERBANO_DEBIAN_MODE     arm64, armhf: userns | host-binfmt | qemu-L (default: the first that works)
#   ZERBANO_DEBIAN_PROJECT  project to build and test (default: this checkout)
#   ZERBANO_DEBIAN_IMPORT   module install-check imports (default zerbano.image)
#   ZERBANO_TEST_SCALE      scale factor for heavy tests (default 1; 0.05 under emulation)
#   MIRROR                  Debian archive URI (default: taken from this machine's apt sources)
#
# Needs root. Every mount is made in private namespaces, so the host's mount table is left as
# it is. For arm64 and armhf, qemu-aarch64 or qemu-arm is registered only in a private user
# namespace's own binfmt_misc (Linux 6.7+); without that, a rule already registered on the
# host is used; failing both, python runs as `qemu-arm-static -L` (or qemu-aarch64-static),
# where the emulated programs cannot start emulated subprocesses: the tests then see
# ZERBANO_NO_SUBPROCESS=1 and skip the ones that need one.
set -euo pipefail

SELF=$(readlink -f "$0")
REPO=$(cd "$(dirname "$SELF")/.." && pwd)

usage() { sed -n '2,/^set -euo/p' "$SELF" | sed '$d'; exit 2; }
log() { printf '[debian %s %(%H:%M:%S)T] %s\n' "$PLATFORM" -1 "$*" >&2; }
die() { printf 'debian.sh: %s\n' "$*" >&2; exit 1; }

[ $# -ge 3 ] || usage
SUITE=$1 ARCH=$2
shift 2
# Which Python of the suite: a SUITE such as forky-py315 names it, and so does
# ZERBANO_DEBIAN_PYTHON (3.15, or python3.15); unnamed, the suite's default python3.
ASKED_PYV=${ZERBANO_DEBIAN_PYTHON:-}
ASKED_PYV=${ASKED_PYV#python}
if [[ "$SUITE" =~ ^([a-z]+)-py3([0-9]+)$ ]]; then
  [ -z "$ASKED_PYV" ] || [ "$ASKED_PYV" = "3.${BASH_REMATCH[2]}" ] ||
    die "$SUITE names Python 3.${BASH_REMATCH[2]}, ZERBANO_DEBIAN_PYTHON another ($ASKED_PYV)"
  SUITE=${BASH_REMATCH[1]} ASKED_PYV=3.${BASH_REMATCH[2]}
fi
# The suite's Pythons, its default (python3, with Debian's numpy and OpenCV) first. forky's
# python3-opencv is built for 3.14 only: its 3.15 takes numpy and OpenCV from PyPI.
case "$SUITE" in
  bookworm) PYTHONS=(3.11) ;;
  trixie) PYTHONS=(3.13) ;;
  forky) PYTHONS=(3.14 3.15) ;;
  *) die "unknown suite '$SUITE' (bookworm, trixie or forky; forky-py315)" ;;
esac
PYV=${ASKED_PYV:-${PYTHONS[0]}}
[[ " ${PYTHONS[*]} " == *" $PYV "* ]] || die "$SUITE has no Python $PYV (it has ${PYTHONS[*]})"
# ROW: the suite as the commands and build/ name it; the default Python's keeps the bare name
ROW=$SUITE
[ "$PYV" = "${PYTHONS[0]}" ] || ROW=$SUITE-py${PYV/./}
QEMU_CPU=
case "$ARCH" in
  amd64) TRIPLET=x86_64-linux-gnu WHEEL_PLATFORMS=(linux_x86_64) ;;
  # Debian and Raspberry Pi OS report linux_armv6l on ARMv6 cores and linux_armv7l on later
  # ones (pip on a 64-bit kernel with armhf userland accepts linux_armv7l too).
  # QEMU_CPU: the Raspberry Pi 3 and Zero 2 W core, plain ARMv8.0-A. qemu's default "max" CPU
  # emulates SVE, which numpy and OpenCV probe and use: five times slower, and a core no
  # Raspberry Pi has.
  arm64) TRIPLET=aarch64-linux-gnu WHEEL_PLATFORMS=(linux_aarch64) QEMU=qemu-aarch64 QEMU_CPU=cortex-a53 ;;
  armhf) TRIPLET=arm-linux-gnueabihf WHEEL_PLATFORMS=(linux_armv6l linux_armv7l) QEMU=qemu-arm ;;
  *) die "unknown architecture '$ARCH' (amd64, arm64 or armhf)" ;;
esac
PLATFORM=$ROW-$ARCH
# qemu reads QEMU_CPU from each emulated program's environment
CPU_ENV=${QEMU_CPU:+QEMU_CPU=$QEMU_CPU}
PY=python$PYV
CP=cp${PYV/./}
SOABI=cpython-${PYV/./}-$TRIPLET
DEBUG_SOABI=cpython-${PYV/./}d-$TRIPLET
CACHE=${ZERBANO_DEBIAN_CACHE:-/var/cache/zerbano-debian}
# python3-venv + python3-pip: install-check does what a user of that system does; the debug
# interpreter (amd64 only: emulated, it would be too slow) serves refcount-check.
# A Python other than the suite's default has no Debian OpenCV: the rootfs then holds that
# interpreter alone and a venv of it with what its user gets from PyPI (PYPI_REQUIREMENTS,
# installed from a wheelhouse that this machine's pip fetched); the tests run in that venv.
PYPI_REQUIREMENTS= VENV= RUN_PY=$PY
if [ "$ROW" = "$SUITE" ]; then
  PKGS=python3,lib$PY-dev,python3-numpy,python3-opencv,python3-pytest,python3-hypothesis,python3-venv,python3-pip,python3-tqdm
else
  PYPI_REQUIREMENTS=$REPO/tools/pypi-requirements.txt
  VENV=/opt/zerbano-venv RUN_PY=/opt/zerbano-venv/bin/python
  PKGS=$PY,lib$PY-dev,$PY-venv
fi
[ "$ARCH" = amd64 ] && PKGS+=,$PY-dbg,lib$PY-dbg
# the venv's packages, for the debug interpreter (the same ABI: it loads release builds)
VENV_SITE=${VENV:+$VENV/lib/$PY/site-packages}
# the project to build and test: this checkout, or a stand-in module while trying the tools
PROJECT=$(readlink -f "${ZERBANO_DEBIAN_PROJECT:-$REPO}")
OUT="$PROJECT/build/$PLATFORM"
# what `run` mounts at /stage (refcount-check mounts the debug build's there)
STAGE=${ZERBANO_DEBIAN_STAGE:-$OUT/stage}
# what `run` mounts at /dist (choose-check mounts a whole release's there)
DIST=${ZERBANO_DEBIAN_DIST:-$OUT/dist}
CROSS=$TRIPLET-
ARMV6_FLAGS="-march=armv6+fp -mfpu=vfp -mfloat-abi=hard -marm"
emulated() { [ "$ARCH" != amd64 ]; }

# The archive URI comes from this machine's apt configuration, so no host name is written
# into the repository, the rootfs or the cache.
mirror() {
  if [ -n "${MIRROR:-}" ]; then echo "$MIRROR"; return; fi
  local uri
  uri=$(awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1=="deb" {for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) {print $i; exit}}' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | head -1)
  [ -n "$uri" ] || die "no Debian archive in this machine's apt sources; set MIRROR"
  echo "$uri"
}

cmd_deps() {
  local need=() p
  # package:file-it-provides
  for p in debootstrap:/usr/sbin/debootstrap zstd:/usr/bin/zstd \
           debian-archive-keyring:/usr/share/keyrings/debian-archive-keyring.gpg; do
    [ -e "${p#*:}" ] || need+=("${p%%:*}")
  done
  if emulated; then
    for p in qemu-user-static:/usr/bin/$QEMU-static g++-$TRIPLET:/usr/bin/${CROSS}g++ \
             gcc-$TRIPLET:/usr/bin/${CROSS}gcc; do
      [ -e "${p#*:}" ] || need+=("${p%%:*}")
    done
  fi
  if [ ${#need[@]} -gt 0 ]; then
    log "installing ${need[*]}"
    [ -n "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v lock)" ] || apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
  fi
}

# ---- running the rootfs' programs ------------------------------------------------------
# The binfmt_misc rule of the host's qemu-user-static package, with flag F (the kernel opens
# qemu at registration time, so the rule also works inside a chroot).
binfmt_rule() {
  local f=/usr/share/binfmts/$QEMU magic mask interp
  magic=$(awk '$1=="magic"{print $2}' $f); mask=$(awk '$1=="mask"{print $2}' $f)
  interp=$(awk '$1=="interpreter"{print $2}' $f)
  printf ':%s:M::%s:%s:%s:FP' "$QEMU" "$magic" "$mask" "$interp"
}

mode() {
  if ! emulated; then echo native; return; fi
  if [ -n "${ZERBANO_DEBIAN_MODE:-}" ]; then echo "$ZERBANO_DEBIAN_MODE"; return; fi
  if unshare --user --mount --map-root-user \
       sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null; then
    echo userns
  elif grep -qs '^enabled' /proc/sys/fs/binfmt_misc/$QEMU \
       && grep -qs '^flags: .*F' /proc/sys/fs/binfmt_misc/$QEMU; then
    echo host-binfmt
  else
    echo qemu-L
  fi
}

# ns CMD...: run CMD (a host program) in private mount + pid namespaces where the rootfs'
# programs run: natively, or under qemu. In userns mode also in a user namespace with its
# own binfmt_misc.
ns() {
  case "$(mode)" in
    native|host-binfmt) unshare --mount --pid --fork --propagation private "$@" ;;
    userns)
      unshare --user --mount --pid --fork --propagation private "$SELF" "$ROW" "$ARCH" __ns-inner "$@" &
      local pid=$! i
      for i in $(seq 500); do
        [ "$(readlink /proc/$pid/ns/user 2>/dev/null)" != "$(readlink /proc/self/ns/user)" ] && break
        sleep 0.01
      done
      # Identity map of uids/gids 0..65535 (we are real root), so dpkg can chown files to
      # any system user; --map-root-user would map a single id only.
      echo '0 0 65536' > /proc/$pid/uid_map
      echo '0 0 65536' > /proc/$pid/gid_map
      wait $pid ;;
    *) die "no way to run a chroot with $ARCH programs here (mode $(mode))" ;;
  esac
}
ns_inner() {
  until [ -n "$(cat /proc/self/uid_map)" ]; do sleep 0.01; done
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  binfmt_rule > /proc/sys/fs/binfmt_misc/register
  exec "$@"
}

# ---- the root file system ------------------------------------------------------------
write_dpkg_excludes() {
  # Docs, man pages, locales and the GPU driver stack (mesa DRI + LLVM, over 100 MB, only
  # dlopen()ed for an OpenGL context) are never used by the tests.
  cat <<EOF
path-exclude=/usr/share/doc/*
path-include=/usr/share/doc/*/copyright
path-exclude=/usr/share/man/*
path-exclude=/usr/share/info/*
path-exclude=/usr/share/locale/*
path-exclude=/usr/share/lintian/*
path-exclude=/usr/lib/$TRIPLET/dri/*
path-exclude=/usr/lib/$TRIPLET/libLLVM*
path-exclude=/usr/lib/$TRIPLET/libz3.so*
EOF
}

# Absolute symlink targets would resolve against the host's / where the rootfs is used from
# outside (qemu-arm-static -L, and the headers the host compiler reads): make them relative.
relativize_symlinks() {
  find "$1" -xdev \( -path "$1/proc" -o -path "$1/sys" -o -path "$1/dev" \) -prune -o \
    -type l -lname '/*' -printf '%p\n' |
  while IFS= read -r link; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$1$(readlink "$link")")" "$link"
  done
}

# Drops what the tests never use and everything that records the archive's address: the
# downloaded package lists, stage 1's docs, the bootstrap log, apt's dselect method.
scrub_rootfs() {
  rm -rf "$ROOT"/var/cache/apt/archives/*.deb "$ROOT"/var/log/bootstrap.log "$ROOT"/debootstrap \
    "$ROOT"/usr/lib/dpkg/methods/apt
  find "$ROOT"/var/lib/apt/lists -maxdepth 1 -type f -delete
  find "$ROOT"/usr/share/doc -mindepth 2 ! -name copyright ! -type d -delete
  echo "# deb MIRROR $SUITE main    (MIRROR: the archive URI from the host's apt sources)" \
    > "$ROOT/etc/apt/sources.list"
  local host; host=$(mirror | sed 's#^[a-z]*://##; s#[/:].*##')
  if grep -rlsIF --exclude-dir=proc --exclude-dir=sys --exclude-dir=dev "$host" "$ROOT"; then
    die "the files above still name the archive's host; extend scrub_rootfs"
  fi
}

# The debootstrap script for the suite: the host's own, or the one for unstable (sid), which
# debootstrap uses for every suite after the current testing one.
debootstrap_script() {
  local scripts=/usr/share/debootstrap/scripts
  if [ -e "$scripts/$SUITE" ]; then echo "$scripts/$SUITE"; else echo "$scripts/sid"; fi
}

cmd_rootfs() {
  if [ -e "$ROOT/.zerbano-complete" ]; then log "reusing $ROOT"; return; fi
  # a rootfs of this platform made from another package list or recipe is never used again
  find "$CACHE" -maxdepth 1 -name "rootfs-$PLATFORM-*" ! -name "rootfs-$PLATFORM-$KEY*" \
    -exec rm -rf {} + 2>/dev/null || true
  rm -rf "$ROOT"; mkdir -p "$ROOT"
  if [ -e "$TARBALL" ]; then
    log "unpacking $TARBALL"
    zstd -dc "$TARBALL" | tar -C "$ROOT" --numeric-owner -xf -
    [ -e "$ROOT/.zerbano-complete" ] || die "$TARBALL is incomplete; delete it and rerun"
    return
  fi
  log "debootstrap stage 1: download and unpack $SUITE $ARCH (minbase)"
  debootstrap --foreign --arch="$ARCH" --variant=minbase --components=main \
    --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
    "$SUITE" "$ROOT" "$(mirror)" "$(debootstrap_script)"
  write_dpkg_excludes > "$ROOT/etc/dpkg/dpkg.cfg.d/01-zerbano-slim"
  log "debootstrap stage 2: configure the packages ($(emulated && echo emulated || echo native))"
  # container=lxc: debootstrap skips its mknod test (no mknod in a user namespace; stage 1
  # made the device nodes as real root)
  ns chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin container=lxc $CPU_ENV \
    /debootstrap/debootstrap --second-stage
  # apt, not debootstrap's resolver, installs the rest: a testing suite's libraries often
  # depend on virtual packages, which only apt resolves. Check-Valid-Until=false: the archive
  # may be a snapshot whose Release files have passed their validity date (the signatures are
  # still checked).
  log "apt: ${PKGS//,/ }"
  echo "deb $(mirror) $SUITE main" > "$ROOT/etc/apt/sources.list"
  cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
  ns chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive $CPU_ENV \
    /bin/sh -euc 'apt="apt-get -q -o APT::Sandbox::User=root -o Acquire::Check-Valid-Until=false"
      $apt update
      $apt -y install --no-install-recommends "$@"
      $apt clean' sh ${PKGS//,/ }
  rm -f "$ROOT/etc/resolv.conf"
  [ -z "$PYPI_REQUIREMENTS" ] || install_pypi_venv
  scrub_rootfs
  relativize_symlinks "$ROOT"
  touch "$ROOT/.zerbano-complete"
  log "writing $TARBALL"
  tar -C "$ROOT" --numeric-owner -cf - . | zstd -T0 -10 -q -f -o "$TARBALL.tmp"
  mv "$TARBALL.tmp" "$TARBALL"
  log "rootfs: $(du -sh "$ROOT" | cut -f1), tarball: $(du -h "$TARBALL" | cut -f1)"
}

# The venv of a Python without Debian's OpenCV: the wheels PYPI_REQUIREMENTS pins, fetched by
# this machine's pip for the rootfs' interpreter and architecture (the rootfs has neither the
# certificates nor the index settings this machine's pip uses), then installed there offline.
# The wheelhouse stays in the rootfs for install-check.
install_pypi_venv() {
  local machine=${TRIPLET%%-*} platforms=() minor wheels=/opt/zerbano-wheels
  for minor in $(seq 28 -1 17); do platforms+=(--platform "manylinux_2_${minor}_$machine"); done
  log "pip download: $(basename "$PYPI_REQUIREMENTS") for $CP on $machine"
  mkdir -p "$ROOT$wheels"
  python3 -m pip download -q --no-deps --only-binary=:all: --implementation cp \
    --python-version "$PYV" --abi "$CP" --abi abi3 --abi none "${platforms[@]}" \
    -d "$ROOT$wheels" -r "$PYPI_REQUIREMENTS"
  cp "$PYPI_REQUIREMENTS" "$ROOT$wheels/requirements.txt"
  log "venv $VENV of $PY with those wheels"
  # without --no-deps: the pins must hold every dependency, or this fails
  ns chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1 $CPU_ENV /bin/sh -euc '
      "$1" -m venv "$2"
      "$2/bin/pip" install -q --no-index --find-links "$3" -r "$3/requirements.txt"
      "$2/bin/pip" check' sh "$PY" "$VENV" "$wheels"
}

# ---- building -------------------------------------------------------------------------
need_rootfs() {
  [ -e "$ROOT/.zerbano-complete" ] || die "no $PLATFORM rootfs at $ROOT (run: $0 $ROW $ARCH rootfs)"
}

# build_wheel OUTDIR INTERPRETER SOABI [CMAKE DEFINITIONS...]: the wheel for the rootfs'
# INTERPRETER, built by this machine's compiler (a cross compiler for ARM) against the rootfs'
# headers (cmake/debian-toolchain.cmake), into OUTDIR/dist, unpacked into OUTDIR/stage.
build_wheel() {
  local out=$1 interpreter=$2 soabi=$3 isolation=() wheel tags=() platform
  shift 3
  need_rootfs
  # Offline and fast when the host already has the build backend; else pip fetches it.
  python3 -c 'import scikit_build_core' 2>/dev/null && isolation=(--no-build-isolation)
  rm -rf "$out/dist" "$out/stage"
  # CMake keeps the compiler flags (with the rootfs path) from the first configure: start
  # afresh when the rootfs, the interpreter or the toolchain file changed since
  local stamp; stamp="$ROOT $interpreter $(md5sum < "$REPO/cmake/debian-toolchain.cmake")"
  if [ "$(cat "$out/cmake/.zerbano-stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$out/cmake"; mkdir -p "$out/cmake"; echo "$stamp" > "$out/cmake/.zerbano-stamp"
  fi
  for platform in "${WHEEL_PLATFORMS[@]}"; do tags+=("$CP-$CP-$platform"); done
  log "building $PROJECT for $interpreter"
  # install.strip=false keeps the symbol table that check-armv6 needs to tell ARM code from
  # Thumb code and data. SETUPTOOLS_EXT_SUFFIX: the suffix of the target interpreter, not of
  # the python3 running pip.
  SETUPTOOLS_EXT_SUFFIX=".$soabi.so" python3 -m pip wheel --no-deps -q "${isolation[@]}" \
    -w "$out/dist" "$PROJECT" \
    -C build-dir="$out/cmake" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$REPO/cmake/debian-toolchain.cmake" \
    -C cmake.define.ZERBANO_DEBIAN_ROOTFS="$ROOT" \
    -C cmake.define.ZERBANO_DEBIAN_ARCH="$ARCH" \
    -C cmake.define.ZERBANO_DEBIAN_PYTHON="$interpreter" \
    -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW \
    -C cmake.version='>=4.1' \
    -C install.strip=false \
    -C cmake.define.ZERBANO_WERROR=ON \
    -C wheel.tags="$(IFS=';'; echo "${tags[*]}")" \
    "$@"
  wheel=$(ls "$out"/dist/*.whl)
  [ "$(wc -l <<<"$wheel")" = 1 ] || die "expected one wheel in $out/dist"
  # a release wheel for a PC or a 64-bit board carries the manylinux tag an index accepts
  if [ "$out" = "$OUT" ] && [ "$ARCH" != armhf ]; then wheel=$(tag_manylinux "$wheel"); fi
  python3 -m zipfile -e "$wheel" "$out/stage"
  [ -n "$(find "$out/stage" -name "*.$soabi.so")" ] || die "the wheel holds no *.$soabi.so"
  log "built $wheel"
}

cmd_build() {
  build_wheel "$OUT" "$PY" "$SOABI"
}

# ---- manylinux tags (amd64, arm64) ------------------------------------------------------
# The newest manylinux policy a wheel may need: glibc 2.28, which every glibc Linux of recent
# years has (Debian 10, RHEL 8, Ubuntu 18.10 and later). A build that needs more fails.
MANYLINUX_CEILING=${ZERBANO_MANYLINUX_CEILING:-2_28}
TOOLS_VENV=$PROJECT/build/tools-venv

# The host's release tools (auditwheel, wheel, build, twine) in a venv of their own, made
# anew when tools/release-requirements.txt changes
tools_venv() {
  local requirements=$REPO/tools/release-requirements.txt
  cmp -s "$requirements" "$TOOLS_VENV/requirements.txt" && return
  log "installing the release tools into $TOOLS_VENV"
  rm -rf "$TOOLS_VENV"
  python3 -m venv "$TOOLS_VENV"
  "$TOOLS_VENV/bin/pip" install -q -r "$requirements" > "$TOOLS_VENV.log" 2>&1 ||
    { cat "$TOOLS_VENV.log" >&2; rm -rf "$TOOLS_VENV"; die "could not install $requirements"; }
  cp "$requirements" "$TOOLS_VENV/requirements.txt"
}

# manylinux_policy WHEEL: the oldest policy auditwheel finds WHEEL consistent with, such as
# manylinux_2_5_x86_64; "linux_..." when none
manylinux_policy() {
  local report
  report=$("$TOOLS_VENV/bin/auditwheel" show "$1" 2>&1) || die "auditwheel show $1: $report"
  grep -o 'platform tag: *"[a-z0-9_]*"' <<<"$(tr '\n' ' ' <<<"$report")" | sed 's/.*"\(.*\)"/\1/' |
    grep . || die "no platform tag in auditwheel's report on $1: $report"
}

# tag_manylinux WHEEL: retags WHEEL with the oldest manylinux policy it meets (and the legacy
# alias pip 19 and older know that policy by) and prints the new path. Fails when that policy
# is newer than the ceiling, or when the wheel meets none.
tag_manylinux() {
  local wheel=$1 policy glibc tags tagged
  tools_venv
  policy=$(manylinux_policy "$wheel")
  glibc=$(sed -n 's/^manylinux_\([0-9]*_[0-9]*\)_.*/\1/p' <<<"$policy")
  [ -n "$glibc" ] || die "$(basename "$wheel") meets no manylinux policy (auditwheel: $policy)"
  if [ "${glibc#*_}" -gt "${MANYLINUX_CEILING#*_}" ] || [ "${glibc%_*}" != 2 ]; then
    die "$(basename "$wheel") needs $policy, newer than manylinux_${MANYLINUX_CEILING}: a symbol" \
        "from a newer glibc or libstdc++ came in (auditwheel show $wheel names it)"
  fi
  tags=$policy
  case "$glibc" in
    2_5) tags+=.manylinux1_${policy#manylinux_2_5_} ;;
    2_12) tags+=.manylinux2010_${policy#manylinux_2_12_} ;;
    2_17) tags+=.manylinux2014_${policy#manylinux_2_17_} ;;
  esac
  "$TOOLS_VENV/bin/python" -m wheel tags --remove --platform-tag "$tags" "$wheel" >/dev/null
  tagged=$(ls "$(dirname "$wheel")"/*.whl)
  [ "$(wc -l <<<"$tagged")" = 1 ] && [[ ".$(basename "$tagged" .whl | sed 's/.*-//')." == *".$policy."* ]] ||
    die "retagging $wheel as $tags left: $tagged"
  # the file as it will be published: auditwheel must name the same policy for it
  [ "$(manylinux_policy "$tagged")" = "$policy" ] || die "auditwheel changed its mind on $tagged"
  log "auditwheel: $(basename "$tagged") meets $policy (ceiling manylinux_$MANYLINUX_CEILING)"
  echo "$tagged"
}

# ---- checking (armhf) -----------------------------------------------------------------
# check-armv6 SO...: fail unless each SO is ARMv6 (v6/v6K/v6KZ) with VFPv2, hard-float
# (VFP register arguments), ARM mode only, and holds no instruction an ARMv6 core with
# VFPv2 lacks. The build attributes say what the compiler was asked for; the disassembly
# catches what came in anyway (start files, static helpers, inline asm).
cmd_check_armv6() {
  [ $# -gt 0 ] || die "usage: $0 SUITE armhf check-armv6 SO..."
  local so rc=0 bad attrs nthumb insns
  for so in "$@"; do
    bad=()
    attrs=$(${CROSS}readelf -A "$so")
    tag() { sed -n "s/^ *$1: //p" <<<"$attrs"; }
    case "$(tag Tag_CPU_arch)" in
      v6|v6K|v6KZ) ;;
      *) bad+=("Tag_CPU_arch '$(tag Tag_CPU_arch)', want v6, v6K or v6KZ") ;;
    esac
    [ "$(tag Tag_FP_arch)" = VFPv2 ] || bad+=("Tag_FP_arch '$(tag Tag_FP_arch)', want VFPv2")
    [ "$(tag Tag_ABI_VFP_args)" = "VFP registers" ] ||
      bad+=("Tag_ABI_VFP_args '$(tag Tag_ABI_VFP_args)', want VFP registers")
    [ "$(tag Tag_THUMB_ISA_use)" != Thumb-2 ] || bad+=("Tag_THUMB_ISA_use Thumb-2")
    [ -z "$(tag Tag_Advanced_SIMD_arch)" ] || bad+=("uses NEON ($(tag Tag_Advanced_SIMD_arch))")
    ${CROSS}readelf -h "$so" | grep -q 'hard-float ABI' || bad+=("ELF header does not say hard-float ABI")
    if ! ${CROSS}readelf -S "$so" | grep -q ' \.symtab '; then
      # without the mapping symbols ($a, $t, $d) Thumb code and literal data cannot be
      # told apart from ARM code
      bad+=("stripped: no symbol table, so ARM mode cannot be verified (check an unstripped build)")
    else
      nthumb=$(${CROSS}nm --special-syms "$so" | grep -c ' \$t' || true)
      [ "$nthumb" = 0 ] || bad+=("$nthumb Thumb code regions")
      insns=$(${CROSS}objdump -d --no-show-raw-insn "$so" | not_armv6_vfpv2)
      [ -z "$insns" ] ||
        bad+=("$(wc -l <<<"$insns") instructions ARMv6/VFPv2 lacks, e.g.:"$'\n'"$(head -5 <<<"$insns")")
    fi
    if [ ${#bad[@]} -eq 0 ]; then
      echo "OK   $so: $(tag Tag_CPU_arch), VFPv2, hard-float, ARM mode only"
    else
      rc=1; echo "FAIL $so:"; printf '       %s\n' "${bad[@]}"
    fi
  done
  return $rc
}

# objdump -d on stdin; prints the lines whose instruction needs more than ARMv6K + VFPv2:
# ARMv7/v8 integer instructions, Thumb-2 (IT, CBZ), NEON, VFPv3/v4 (d16-d31, immediate
# vmov, fixed-point vcvt, fused multiply-add, half precision). Registers are looked for
# in VFP/NEON instructions only: a branch target such as "d18" is an address.
not_armv6_vfpv2() {
  awk -F'\t' '
    NF < 3 { next }
    {
      m = $2; ops = $3; sub(/[;<].*/, "", ops)
      c = "(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?"
      if (m ~ ("^(movw|movt|ubfx|sbfx|bfi|bfc|rbit|mls|sdiv|udiv)" c "$") ||
          m ~ /^(dmb|dsb|isb|pldw|pli|cbn?z|tb[bh]|it[te]*|hvc|eret)$/ ||
          m ~ /^(lda|stl|crc32|aes|sha1|sha256|vrint|vsel|vmaxnm|vminnm|vjcvt)/ ||
          m ~ /^vcvt[abtnmp](\.|$)/ || m ~ /^vf[n]?m[as]/ || m ~ /^v(ld|st)[1-4]/ ||
          (m ~ /^v/ && m !~ /^vcvt/ && m ~ /\.([isup](8|16|64)|[ip]32)$/) ||
          (m ~ /^vmov\.f(32|64)/ && ops ~ /#/) || (m ~ /^vcvt/ && ops ~ /,.*,.*#/) ||
          (m ~ /^v/ && ops ~ /(^|[^a-z0-9_])(d(1[6-9]|2[0-9]|3[01])|q([0-9]|1[0-5]))([^a-z0-9_]|$)/))
        print
    }'
}

# Proves the checker on tiny shared objects: the module's own recipe must pass; an ordinary
# (ARMv7 Thumb-2) build, ARMv6 code linked with the toolchain's start files, an ARMv7
# instruction hidden in ARMv6 code, and a stripped file must all fail.
cmd_check_selftest() {
  local d rc=0 so
  d=$(mktemp -d)
  cat > "$d/t.cpp" <<'EOF'
#include <string>
#include <vector>
extern "C" double t_mean(const double* v, long long n, long long d) {
    static std::vector<std::string> seen;  // guarded static, destructor via __cxa_atexit
    seen.emplace_back("x");
    double s = 0;
    for (long long i = 0; i < n; ++i) s += v[i];
    return s / static_cast<double>(n / d);
}
#ifdef T_ARMV7_INSN
extern "C" void t_barrier() { asm volatile(".inst 0xf57ff05f" ::: "memory"); }  // dmb sy
#endif
EOF
  ${CROSS}gcc $ARMV6_FLAGS -O2 -fPIC -c "$REPO/cmake/armv6_crt.c" -o "$d/crt.o"
  ${CROSS}g++ $ARMV6_FLAGS -O2 -fPIC -shared -shared-libgcc -nostartfiles "$d/crt.o" "$d/t.cpp" -o "$d/armv6.so"
  ${CROSS}g++ -O2 -fPIC -shared "$d/t.cpp" -o "$d/armv7-default.so"
  ${CROSS}g++ $ARMV6_FLAGS -O2 -fPIC -shared "$d/t.cpp" -o "$d/armv6-toolchain-startfiles.so"
  ${CROSS}g++ $ARMV6_FLAGS -O2 -fPIC -shared -shared-libgcc -nostartfiles -DT_ARMV7_INSN "$d/crt.o" \
    "$d/t.cpp" -o "$d/armv6-with-dmb.so"
  ${CROSS}strip -o "$d/armv6-stripped.so" "$d/armv6.so"
  cmd_check_armv6 "$d/armv6.so" || { echo "selftest: the ARMv6 build failed the check"; rc=1; }
  for so in armv7-default armv6-toolchain-startfiles armv6-with-dmb armv6-stripped; do
    if cmd_check_armv6 "$d/$so.so"; then echo "selftest: $so.so passed the check, must fail"; rc=1; fi
  done
  rm -rf "$d"
  return $rc
}

cmd_check() {
  if [ "$ARCH" != armhf ]; then
    # the wheel's policy was checked when it was built; here the check itself is proved
    cmd_manylinux_selftest > "$OUT/manylinux-selftest.log" 2>&1 ||
      { cat "$OUT/manylinux-selftest.log"; die "the manylinux check does not tell old from new glibc symbols"; }
    log "manylinux selftest: passes a wheel of old symbols, fails one with a glibc 2.34 symbol"
    return 0
  fi
  local sos
  mkdir -p "$OUT"
  if ! cmd_check_selftest > "$OUT/check-selftest.log" 2>&1; then
    cat "$OUT/check-selftest.log"; die "check-armv6 does not tell ARMv6 from ARMv7 builds here"
  fi
  log "check-armv6 selftest: passes an ARMv6 build, fails 4 bad ones ($OUT/check-selftest.log)"
  sos=$(find "$STAGE" -name '*.so' 2>/dev/null)
  [ -n "$sos" ] || die "no built module in $STAGE (run: $0 $ROW $ARCH build)"
  cmd_check_armv6 $sos
}

# Proves tag_manylinux on two one-function wheels built for this architecture: one of old
# symbols must be tagged with the oldest policy there is for it, and one that calls
# close_range (glibc 2.34) must fail the ceiling.
cmd_manylinux_selftest() {
  local d cc=gcc oldest=manylinux_2_5_x86_64 variant rc=0 tagged
  [ "$ARCH" = arm64 ] && cc=${CROSS}gcc oldest=manylinux_2_17_aarch64
  d=$(mktemp -d)
  cat > "$d/t.c" <<'EOF2'
#define _GNU_SOURCE  /* close_range */
#include <string.h>
#include <unistd.h>
int t_probe(const char* s) {
#ifdef T_NEW_SYMBOL
    return close_range(3, ~0u, 0);
#else
    return (int)strlen(s);
#endif
}
EOF2
  tools_venv
  for variant in old new; do
    mkdir -p "$d/$variant/tprobe" "$d/$variant/tprobe-0.dist-info"
    $cc -O2 -fPIC -shared $([ $variant = new ] && echo -DT_NEW_SYMBOL) "$d/t.c" -o "$d/$variant/tprobe/_t.so"
    printf 'Metadata-Version: 2.1\nName: tprobe\nVersion: 0\n' > "$d/$variant/tprobe-0.dist-info/METADATA"
    printf 'Wheel-Version: 1.0\nGenerator: debian.sh\nRoot-Is-Purelib: false\nTag: cp311-cp311-%s\n' \
      "${WHEEL_PLATFORMS[0]}" > "$d/$variant/tprobe-0.dist-info/WHEEL"
    mkdir -p "$d/$variant/dist"
    "$TOOLS_VENV/bin/python" -m wheel pack -d "$d/$variant/dist" "$d/$variant" >/dev/null
  done
  tagged=$(tag_manylinux "$d"/old/dist/*.whl) && [[ "$tagged" == *"$oldest"* ]] ||
    { echo "selftest: the wheel of old symbols was not tagged $oldest: ${tagged:-refused}"; rc=1; }
  if (tag_manylinux "$d"/new/dist/*.whl); then
    echo "selftest: a wheel with a glibc 2.34 symbol passed the manylinux_$MANYLINUX_CEILING ceiling"; rc=1
  fi
  rm -rf "$d"
  return $rc
}

# ---- running in the rootfs ------------------------------------------------------------
test_scale() { echo "${ZERBANO_TEST_SCALE:-$(emulated && echo 0.05 || echo 1)}"; }

# The environment the rootfs' programs see: nothing from the host but what is listed here.
guest_env() {
  echo PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 PYTHONDONTWRITEBYTECODE=1 \
    PYTHONFAULTHANDLER=1 "ZERBANO_TEST_SCALE=$(test_scale)" $CPU_ENV
}

# run CMD...: CMD runs in the rootfs with the checkout at /src and the staged module at
# /stage (both read-only), the wheel at /dist, a fresh tmpfs at /tmp, in /tmp.
cmd_run() {
  need_rootfs
  [ $# -gt 0 ] || die "usage: $0 SUITE ARCH run CMD..."
  mkdir -p "$STAGE" "$DIST"
  if [ "$(mode)" = qemu-L ]; then
    die "mode qemu-L has no chroot; only 'test' works there"
  fi
  ns "$SELF" "$ROW" "$ARCH" __chroot "$@"
}
chroot_inner() {
  local d
  for d in src stage dist tmp proc dev sys; do mkdir -p "$ROOT/$d"; done
  mount --bind -o ro "$PROJECT" "$ROOT/src"
  mount --bind -o ro "$STAGE" "$ROOT/stage"
  mount --bind -o ro "$DIST" "$ROOT/dist"
  mount -t tmpfs -o size=2g tmpfs "$ROOT/tmp"
  mount -t proc proc "$ROOT/proc"
  mount --rbind /dev "$ROOT/dev"
  mount --rbind /sys "$ROOT/sys"
  # shellcheck disable=SC2046  # guest_env is a list of words
  exec chroot "$ROOT" /bin/sh -c 'cd /tmp && exec "$@"' sh /usr/bin/env -i $(guest_env) "$@"
}

# test [PYTEST ARGS]: the project's tests with the suite's python3, importing the module
# from the staged wheel contents
cmd_test() {
  need_rootfs
  [ -n "$(find "$STAGE" -name "*.$SOABI.so" 2>/dev/null)" ] || die "nothing built (run: $0 $ROW $ARCH build)"
  local m; m=$(mode)
  log "tests (mode $m, ZERBANO_TEST_SCALE=$(test_scale))"
  if [ "$m" = qemu-L ]; then
    # No chroot: qemu looks up absolute paths in the rootfs first, then on the host, where
    # the checkout and the stage are. Emulated programs cannot start emulated subprocesses here.
    local tmp rc=0; tmp=$(mktemp -d)
    # shellcheck disable=SC2046
    (cd "$tmp" && env -i $(guest_env) PYTHONPATH="$STAGE${VENV_SITE:+:$ROOT$VENV_SITE}" ZERBANO_NO_SUBPROCESS=1 \
      $QEMU-static -L "$ROOT" "$ROOT/usr/bin/$PY" -m pytest -p no:cacheprovider "$PROJECT/tests" "$@") || rc=$?
    rm -rf "$tmp"; return $rc
  fi
  cmd_run env PYTHONPATH=/stage "$RUN_PY" -m pytest -p no:cacheprovider /src/tests "$@"
}

# install-check: what a user of that system does: the distribution's numpy and cv2, our
# wheel installed with pip into a venv that sees them; for a Python without Debian's OpenCV,
# `pip install 'WHEEL[opencv]'` into a venv of its own, numpy and OpenCV from the wheelhouse. Also asks pip whether it would take
# the wheel on the platforms its tags name, and checks that it refuses one they do not name.
cmd_install_check() {
  need_rootfs
  [ "$(mode)" != qemu-L ] || { log "install-check: skipped (venv needs subprocesses)"; return 0; }
  local accept refuse
  case "$ARCH" in
    amd64) accept="linux-x86_64" refuse=linux-aarch64 ;;
    arm64) accept=linux-aarch64 refuse=linux-armv7l ;;
    armhf) accept="linux-armv6l linux-armv7l linux-aarch64" refuse=linux-i686 ;;
  esac
  local python=python3 venv_options=--system-site-packages links= extra=
  [ -z "$VENV" ] || python=$PY venv_options= links=/opt/zerbano-wheels extra=[opencv]
  cmd_run /bin/sh -euc '
    whl=$(ls /dist/*.whl) links=$6
    "$4" -m venv $5 /tmp/venv
    pip_install() { /tmp/venv/bin/pip install "$@" ${links:+--find-links "$links"}; }
    for plat in $2; do
      _PYTHON_HOST_PLATFORM=$plat pip_install -q --no-index --dry-run "$whl"
      echo "pip on $plat: would install $(basename "$whl")"
    done
    # control: the same question must be answered no for a platform the tags do not name
    if _PYTHON_HOST_PLATFORM=$3 pip_install -q --no-index --dry-run "$whl" 2>/dev/null; then
      echo "pip on $3 would install $whl: the platform check above proves nothing" >&2
      exit 1
    fi
    pip_install -q --no-index "$whl$7"
    /tmp/venv/bin/pip check
    cd / && /tmp/venv/bin/python -c "import importlib, sys, numpy, cv2
m = importlib.import_module(\"$1\")
print(\"imported\", m.__file__, \"on Python\", sys.version.split()[0], \"with numpy\", numpy.__version__, \"and cv2\", cv2.__version__)"
  ' sh "${ZERBANO_DEBIAN_IMPORT:-zerbano.image}" "$accept" "$refuse" "$python" "$venv_options" \
    "$links" "$extra"
}

# choose-check DIR: DIR holds every artifact of a release. pip in a venv of this system must
# pick this platform's wheel from them, and refuse each other wheel asked for by file name.
cmd_choose_check() {
  local dir own
  dir=$(readlink -f "${1:?usage: $0 SUITE ARCH choose-check DIR}")
  own=$(basename "$(ls "$OUT"/dist/*.whl 2>/dev/null)") || die "nothing built (run: $0 $ROW $ARCH build)"
  [ -e "$dir/$own" ] || die "$dir lacks this platform's wheel $own"
  need_rootfs
  [ "$(mode)" != qemu-L ] || { log "choose-check: skipped (venv needs subprocesses)"; return 0; }
  export ZERBANO_DEBIAN_DIST=$dir; DIST=$dir
  cmd_run /bin/sh -euc '
    own=$1 platform=$2
    "$3" -m venv /tmp/venv
    pip() { /tmp/venv/bin/pip -q "$@"; }
    pip install --dry-run --no-deps --no-index --find-links /dist --report /tmp/report.json zerbano
    picked=$(/tmp/venv/bin/python -c "import json, os
print(os.path.basename(json.load(open(\"/tmp/report.json\"))[\"install\"][0][\"download_info\"][\"url\"]))")
    [ "$picked" = "$own" ] || { echo "pip on $platform picks $picked, not $own" >&2; exit 1; }
    refused=0
    for whl in /dist/*.whl; do
      [ "$(basename "$whl")" != "$own" ] || continue
      if pip install --dry-run --no-deps --no-index "$whl" 2>/tmp/err; then
        echo "pip on $platform would install $whl too" >&2; exit 1
      fi
      grep -q "is not a supported wheel on this platform" /tmp/err || { cat /tmp/err >&2; exit 1; }
      refused=$((refused + 1))
    done
    echo "pip on $platform picks $own from $(ls /dist | wc -l) artifacts and refuses the $refused other wheels"
  ' sh "$own" "$PLATFORM" "$PY"
}

# ---- the debug interpreter (amd64) ------------------------------------------------------
# Debian's python3.Xd headers are symlinks to the release ones, so Python.h would pick up
# the release pyconfig.h and leave Py_DEBUG unset: ZERBANO_PY_DEBUG defines it explicitly, and
# the build fails unless it took. A module built so counts its own references in
# sys.gettotalrefcount().
DEBUG_OUT="$OUT/debug"

cmd_debug_build() {
  emulated && die "debug-build: amd64 only (an emulated debug interpreter is too slow)"
  build_wheel "$DEBUG_OUT" "${PY}d" "$DEBUG_SOABI" -C cmake.define.ZERBANO_PY_DEBUG=ON
  local so; so=$(find "$DEBUG_OUT/stage" -name "*.$DEBUG_SOABI.so")
  # The reference-count bookkeeping of a Py_DEBUG build calls into the debug interpreter.
  nm -D --undefined-only "$so" | grep -qE ' (_Py_RefTotal|_Py_IncRefTotal|_Py_INCREF_IncRefTotal)$' ||
    die "$so does not count its references: Py_DEBUG did not take"
}

cmd_refcount_check() {
  emulated && die "refcount-check: amd64 only"
  [ -n "$(find "$DEBUG_OUT/stage" -name "*.$DEBUG_SOABI.so" 2>/dev/null)" ] ||
    die "no debug build (run: $0 $ROW $ARCH debug-build)"
  export ZERBANO_DEBIAN_STAGE="$DEBUG_OUT/stage"
  log "every leak path under ${PY}d, counting every reference"
  cmd_run env PYTHONPATH=/stage${VENV_SITE:+:$VENV_SITE} ZERBANO_REQUIRE_TOTAL_REFCOUNT=1 \
    "${PY}d" -m pytest -p no:cacheprovider /src/tests/test_total_refcount.py "$@"
}

cmd_bench() {
  [ -n "$(find "$STAGE" -name "*.$SOABI.so" 2>/dev/null)" ] || die "nothing built (run: $0 $ROW $ARCH build)"
  cmd_run env PYTHONPATH=/stage "$RUN_PY" /src/bench/run.py "$@"
}

# The cache key covers everything that decides the rootfs' contents.
# ROOTFS_RECIPE: raise it when cmd_rootfs changes what a root file system holds.
ROOTFS_RECIPE=2
# A PyPI row's pins and venv recipe count too (the other rows' keys stay as they were).
KEY=$(printf '%s\n' "$PLATFORM" "$PKGS" "$ROOTFS_RECIPE" "$(declare -f write_dpkg_excludes scrub_rootfs)" \
  ${PYPI_REQUIREMENTS:+"$(cat "$PYPI_REQUIREMENTS")" "$(declare -f install_pypi_venv)"} |
  md5sum | cut -c1-10)
ROOT="$CACHE/rootfs-$PLATFORM-$KEY"
TARBALL="$CACHE/rootfs-$PLATFORM-$KEY.tar.zst"
mkdir -p "$CACHE"

case "${1:-}" in
  __ns-inner) shift; ns_inner "$@" ;;
  __chroot) shift; chroot_inner "$@" ;;
  deps) cmd_deps ;;
  rootfs) cmd_rootfs ;;
  mode) mode ;;
  build) cmd_build ;;
  check) cmd_check ;;
  check-armv6) shift; cmd_check_armv6 "$@" ;;
  check-selftest) cmd_check_selftest ;;
  manylinux-selftest) cmd_manylinux_selftest ;;
  test) shift; cmd_test "$@" ;;
  install-check) cmd_install_check ;;
  choose-check) shift; cmd_choose_check "$@" ;;
  tools-venv) tools_venv; echo "$TOOLS_VENV" ;;
  debug-build) cmd_debug_build ;;
  refcount-check) shift; cmd_refcount_check "$@" ;;
  bench) shift; cmd_bench "$@" ;;
  run) shift; cmd_run "$@" ;;
  all)
    cmd_deps; cmd_rootfs; cmd_build; cmd_check; cmd_test; cmd_install_check
    if ! emulated; then cmd_debug_build; cmd_refcount_check; fi ;;
  *) usage ;;
esac
