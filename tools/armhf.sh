#!/bin/bash
# armhf.sh - build zerbano for 32-bit ARM boards (armhf: ARMv6 + VFPv2, hard-float ABI)
# and run the test suite against that build under qemu user-mode emulation.
#
# usage: tools/armhf.sh COMMAND [ARGS]
#   deps              install the host tools (apt; needs root)
#   rootfs            make the Debian 12 armhf root file system: reuse it when complete, else
#                     unpack the cached tarball, else debootstrap it (about 8 min, once)
#   build             cross-build the armhf wheel into build/armhf/dist and unpack it into
#                     build/armhf/stage (what the tests import)
#   check             check-armv6 on the module in build/armhf/stage
#   check-armv6 SO... fail unless each SO is ARMv6 + VFPv2, hard-float, ARM mode only
#   test [PYTEST...]  run tests/ with the armhf python3.11 against build/armhf/stage
#   install-check     pip install the wheel into a venv in the rootfs, import it there
#   run CMD...        run CMD inside the rootfs (checkout at /src, stage at /stage)
#   all               deps, rootfs, build, check, test, install-check
#
# Environment:
#   ZERBANO_ARMHF_CACHE  cache dir for the rootfs and its tarball (/var/cache/zerbano-armhf)
#   ZERBANO_ARMHF_MODE   userns | host-binfmt | qemu-L (default: the first that works)
#   ZERBANO_TEST_SCALE   scale factor for heavy tests (default 0.05 here: emulation is slow)
#   MIRROR               Debian archive URI (default: taken from this machine's apt sources)
#
# Needs root. qemu-arm is registered only in a private user namespace's own binfmt_misc
# (Linux 6.7+), so the host's binfmt_misc is left as it is. Without that, a qemu-arm rule
# already registered on the host is used; failing both, python runs as `qemu-arm-static -L`,
# where armhf programs cannot start armhf subprocesses: the tests then see
# ZERBANO_NO_SUBPROCESS=1 and skip the ones that need a subprocess.
set -euo pipefail

SELF=$(readlink -f "$0")
REPO=$(cd "$(dirname "$SELF")/.." && pwd)
CACHE=${ZERBANO_ARMHF_CACHE:-/var/cache/zerbano-armhf}
OUT="$REPO/build/armhf"
SUITE=bookworm
# python3-venv + python3-pip: install-check does what a board user does
PKGS=python3,libpython3.11-dev,python3-numpy,python3-opencv,python3-pytest,python3-hypothesis,python3-venv,python3-pip
CROSS=arm-linux-gnueabihf-
SOABI=cpython-311-arm-linux-gnueabihf

log() { printf '[armhf %(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
die() { printf 'armhf.sh: %s\n' "$*" >&2; exit 1; }

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
  for p in debootstrap:/usr/sbin/debootstrap qemu-user-static:/usr/bin/qemu-arm-static \
           g++-arm-linux-gnueabihf:/usr/bin/${CROSS}g++ gcc-arm-linux-gnueabihf:/usr/bin/${CROSS}gcc \
           zstd:/usr/bin/zstd debian-archive-keyring:/usr/share/keyrings/debian-archive-keyring.gpg; do
    [ -e "${p#*:}" ] || need+=("${p%%:*}")
  done
  if [ ${#need[@]} -gt 0 ]; then
    log "installing ${need[*]}"
    [ -n "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v lock)" ] || apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
  fi
}

# ---- running armhf programs ------------------------------------------------------------
# The binfmt_misc rule of the host's qemu-user-static package, with flag F (the kernel opens
# qemu at registration time, so the rule also works inside a chroot).
binfmt_rule() {
  local f=/usr/share/binfmts/qemu-arm magic mask interp
  magic=$(awk '$1=="magic"{print $2}' $f); mask=$(awk '$1=="mask"{print $2}' $f)
  interp=$(awk '$1=="interpreter"{print $2}' $f)
  printf ':qemu-arm:M::%s:%s:%s:FP' "$magic" "$mask" "$interp"
}

mode() {
  if [ -n "${ZERBANO_ARMHF_MODE:-}" ]; then echo "$ZERBANO_ARMHF_MODE"; return; fi
  if unshare --user --mount --map-root-user \
       sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null; then
    echo userns
  elif grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-arm \
       && grep -qs '^flags: .*F' /proc/sys/fs/binfmt_misc/qemu-arm; then
    echo host-binfmt
  else
    echo qemu-L
  fi
}

# ns CMD...: run CMD (a host program) in private mount + pid namespaces where armhf ELF
# files run under qemu-arm. In userns mode also a user namespace with its own binfmt_misc.
ns() {
  case "$(mode)" in
    host-binfmt) unshare --mount --pid --fork --propagation private "$@" ;;
    userns)
      unshare --user --mount --pid --fork --propagation private "$SELF" __ns-inner "$@" &
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
    *) die "no way to run a chroot with armhf programs here (mode $(mode))" ;;
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
  # Docs, man pages, locales and the GPU driver stack (mesa DRI + LLVM, ~130 MB, only
  # dlopen()ed for an OpenGL context) are never used by the tests.
  cat <<'EOF'
path-exclude=/usr/share/doc/*
path-include=/usr/share/doc/*/copyright
path-exclude=/usr/share/man/*
path-exclude=/usr/share/info/*
path-exclude=/usr/share/locale/*
path-exclude=/usr/share/lintian/*
path-exclude=/usr/lib/arm-linux-gnueabihf/dri/*
path-exclude=/usr/lib/arm-linux-gnueabihf/libLLVM-15.so*
path-exclude=/usr/lib/arm-linux-gnueabihf/libz3.so*
EOF
}

# qemu-arm-static -L resolves absolute symlink targets against the host's /, not the rootfs
relativize_symlinks() {
  find "$1" -xdev \( -path "$1/proc" -o -path "$1/sys" -o -path "$1/dev" \) -prune -o \
    -type l -lname '/*' -printf '%p\n' |
  while IFS= read -r link; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$1$(readlink "$link")")" "$link"
  done
}

cmd_rootfs() {
  if [ -e "$ROOT/.zerbano-complete" ]; then log "reusing $ROOT"; return; fi
  rm -rf "$ROOT"; mkdir -p "$ROOT"
  if [ -e "$TARBALL" ]; then
    log "unpacking $TARBALL"
    zstd -dc "$TARBALL" | tar -C "$ROOT" --numeric-owner -xf -
    [ -e "$ROOT/.zerbano-complete" ] || die "$TARBALL is incomplete; delete it and rerun"
    return
  fi
  log "debootstrap stage 1: download and unpack $SUITE armhf (native)"
  debootstrap --foreign --arch=armhf --variant=minbase --components=main \
    --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
    --include="$PKGS" "$SUITE" "$ROOT" "$(mirror)"
  write_dpkg_excludes > "$ROOT/etc/dpkg/dpkg.cfg.d/01-zerbano-slim"
  log "debootstrap stage 2: configure the packages (emulated)"
  # container=lxc: debootstrap skips its mknod test (no mknod in a user namespace; stage 1
  # made the device nodes as real root)
  ns chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin container=lxc \
    /debootstrap/debootstrap --second-stage
  rm -rf "$ROOT"/var/cache/apt/archives/*.deb "$ROOT"/var/log/bootstrap.log "$ROOT"/debootstrap
  # keep the archive's address out of the rootfs and its tarball
  echo "# deb MIRROR $SUITE main    (MIRROR: the archive URI from the host's apt sources)" \
    > "$ROOT/etc/apt/sources.list"
  relativize_symlinks "$ROOT"
  touch "$ROOT/.zerbano-complete"
  log "writing $TARBALL"
  tar -C "$ROOT" --numeric-owner -cf - . | zstd -T0 -10 -q -f -o "$TARBALL.tmp"
  mv "$TARBALL.tmp" "$TARBALL"
  log "rootfs: $(du -sh "$ROOT" | cut -f1), tarball: $(du -h "$TARBALL" | cut -f1)"
}

# The cache key covers everything that decides the rootfs' contents.
KEY=$(printf '%s\n' "$SUITE" "$PKGS" "$(declare -f write_dpkg_excludes)" | md5sum | cut -c1-10)
ROOT="$CACHE/rootfs-$SUITE-$KEY"
TARBALL="$CACHE/rootfs-$SUITE-$KEY.tar.zst"

case "${1:-}" in
  __ns-inner) shift; ns_inner "$@" ;;
  deps) cmd_deps ;;
  rootfs) cmd_rootfs ;;
  mode) mode ;;
  *) sed -n '2,/^set -euo/p' "$SELF" | sed '$d'; exit 2 ;;
esac
