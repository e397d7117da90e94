#!/usr/bin/env bash
# fuzz.sh - coverage-guided fuzzing of zerbano with atheris (libFuzzer) against a build of
# zerbano.image instrumented for coverage, AddressSanitizer and UndefinedBehaviorSanitizer.
#
# usage: tools/fuzz.sh [--long | --runs N] [--time SECONDS] [TARGET...]
#
# Targets are tests/fuzz/fuzz_TARGET.py, each with its seed corpus in tests/fuzz/corpus/TARGET;
# without names, every target runs. The default (CI) runs each target for 10,000 executions
# from the committed seeds, with a fixed seed; --long runs 1,000,000 each, random seeds, and
# keeps the corpus it grew in the work dir for the next long run; --time stops each target
# after SECONDS even if its runs are not done. Each target prints its
# executions and libFuzzer's coverage (cov: edges of the module and instrumented Python, ft:
# features). A crash, a sanitizer report, a leak or a failed check stops that target, keeps
# the input that did it in WORK/artifacts and fails the script.
#
# The build uses Debian's clang (CLANG, default clang-14) and atheris built from source with
# the same clang, so that the preloaded runtime (clang's ASan, which carries UBSan's handlers,
# merged with libFuzzer) is the one the module was instrumented for. The first run compiles
# atheris (about four minutes here); pip's cache serves later ones.
#
# Leaks: the interpreter keeps memory until exit, so the check at exit is off; libFuzzer
# checks each input instead (an input after which more blocks were allocated than freed is
# run again under LeakSanitizer, which reports only memory nothing points to any more).
#
# Environment:
#   ZERBANO_FUZZ_DIR   venv, build, corpora and artifacts (default /tmp/zerbano-fuzz)
#   ZERBANO_FUZZ_SEED  libFuzzer's seed in the default mode (default 1)
#   CLANG              the C compiler; the C++ compiler is its ++ sibling (default clang-14)
set -euo pipefail
cd "$(dirname "$0")/.."

atheris_version=3.0.0
runs=10000
max_time=0
long=0
targets=()
while (( $# )); do
    case $1 in
        --long) long=1; runs=1000000 ;;
        --runs) runs=$2; shift ;;
        --time) max_time=$2; shift ;;
        -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
        *) targets+=("$1") ;;
    esac
    shift
done
if (( ${#targets[@]} == 0 )); then
    for file in tests/fuzz/fuzz_*.py; do
        name=${file##*/fuzz_}
        targets+=("${name%.py}")
    done
fi

work=${ZERBANO_FUZZ_DIR:-/tmp/zerbano-fuzz}
venv=$work/venv
clang=${CLANG:-clang-14}
clangxx=${clang/clang/clang++}
# Debian's clang and its runtimes (libFuzzer, the sanitizers): installed here when missing,
# as CI does on a new machine.
if ! command -v "$clang" >/dev/null || [[ ! -f $("$clang" -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a) ]]; then
    if [[ $clang == clang-14 && $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
        for attempt in 1 2 3 4 5 6; do  # another install may hold the dpkg lock for a while
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang-14 libclang-rt-14-dev \
                >/dev/null && break
            (( attempt < 6 )) || { echo "fuzz.sh: could not install clang-14" >&2; exit 1; }
            sleep 20
        done
    else
        echo "fuzz.sh: no $clang with libFuzzer (apt-get install clang-14 libclang-rt-14-dev)" >&2
        exit 1
    fi
fi

echo "== fuzzing build in $work ($("$clang" --version | head -n 1))"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
[[ -x $venv/bin/python ]] || python3 -m venv "$venv"
build_tools=(scikit-build-core)
command -v cmake >/dev/null || build_tools+=(cmake ninja)
"$venv/bin/pip" install -q numpy opencv-python-headless "${build_tools[@]}"
if [[ $("$venv/bin/pip" list 2>/dev/null | awk '$1 == "atheris" {print $2}') != "$atheris_version" ]]; then
    CLANG_BIN=$(command -v "$clang") "$venv/bin/pip" install -q --no-binary atheris \
        "atheris==$atheris_version"
fi
CC=$clang CXX=$clangxx "$venv/bin/pip" install -q --force-reinstall --no-deps \
    --no-build-isolation \
    -C build-dir="$work/build" \
    -C cmake.build-type=Debug \
    -C cmake.define.ZERBANO_FUZZ=ON \
    -C cmake.define.ZERBANO_WERROR=ON \
    .

site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
runtime=$site/asan_with_fuzzer.so
[[ -f $runtime ]] || { echo "fuzz.sh: atheris left no $runtime" >&2; exit 1; }
so=$(echo "$site"/zerbano/image.*.so)
nm -D "$so" | grep -q __sanitizer_cov || { echo "fuzz.sh: $so is not instrumented" >&2; exit 1; }

export LD_PRELOAD=$runtime
export PYTHONMALLOC=malloc  # freed objects go to ASan's quarantine, not back to pymalloc
# An allocation above 1 GiB fails (as it would on a small board) instead of being made:
# OpenCV's PNG reader allocates whatever a chunk declares, and the targets check that the
# module turns such a failure into its own error (tests/test_fuzz_targets.py has the input).
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:allocator_may_return_null=1:max_allocation_size_mb=1024:suppressions=$PWD/tools/asan.supp"
export LSAN_OPTIONS="leak_check_at_exit=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

options=(-runs="$runs" -max_total_time="$max_time" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1)
if (( long )); then
    options+=(-seed=0)
else
    options+=(-seed="${ZERBANO_FUZZ_SEED:-1}")
fi

failed=()
for target in "${targets[@]}"; do
    script=tests/fuzz/fuzz_$target.py
    [[ -f $script ]] || { echo "fuzz.sh: no target $script" >&2; exit 2; }
    # The long mode's corpus grows from run to run; the default mode starts from the seeds
    # each time, in a folder of its own so that it never throws the long corpus away.
    if (( long )); then
        corpus=$work/long-corpus/$target
    else
        corpus=$work/corpus/$target
        rm -rf "$corpus"
    fi
    mkdir -p "$corpus" "$work/artifacts" "$work/logs"
    log=$work/logs/$target.log
    started=$SECONDS
    status=0
    # Fuzz without leak checks (each scans the whole heap: a tenth of a second here), then run
    # every input the corpus kept (one for each path found, seeds included) once more, each
    # checked for leaks.
    "$venv/bin/python" "$script" "${options[@]}" -detect_leaks=0 \
        -artifact_prefix="$work/artifacts/$target-" \
        "$corpus" "$PWD/tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    if (( status == 0 )); then
        "$venv/bin/python" "$script" -runs=0 -detect_leaks=1 -timeout=60 -rss_limit_mb=4096 \
            -artifact_prefix="$work/artifacts/$target-leak-" \
            "$corpus" >"$log.leaks" 2>&1 || status=$?
        (( status == 0 )) || cat "$log.leaks" >>"$log"
    fi
    executions=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
    coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' "$log" | tail -n 1 || true)
    if grep -q '^SKIP:' "$log"; then
        echo "$target: $(grep '^SKIP:' "$log" | head -n 1)"
    elif (( status == 0 )) && [[ -n $executions ]]; then
        echo "$target: ${executions} executions in $((SECONDS - started)) s, ${coverage}"
    else
        echo "$target: FAILED (exit $status) after $((SECONDS - started)) s; log $log" >&2
        grep -E -B2 -A40 'ERROR: |runtime error:|Uncaught Python exception|==[0-9]+==' "$log" \
            | head -n 80 >&2 || tail -n 40 "$log" >&2
        ls "$work/artifacts/$target-"* 2>/dev/null | sed 's/^/  input kept: /' >&2
        failed+=("$target")
    fi
done
if (( ${#failed[@]} )); then
    echo "fuzz.sh: findings in: ${failed[*]}" >&2
    exit 1
fi
