#!/usr/bin/env bash
# sanitize.sh - build zerbano.image with AddressSanitizer and UndefinedBehaviorSanitizer (no
# recovery) into a private venv and run the whole test suite against that build.
#
# usage: tools/sanitize.sh [PYTEST ARGS...]
#
# The interpreter is not instrumented, so the ASan runtime is preloaded. Python objects are
# allocated with plain malloc (PYTHONMALLOC=malloc), so a use of a freed object hits ASan's
# quarantine instead of a recycled pymalloc block. Leak detection is off: every allocation of
# an object passes through the interpreter, so a leak report could not be told apart from the
# interpreter's own memory kept until exit; tests/test_leaks.py checks the module's paths for
# leaks instead. Any sanitizer report stops the run and fails the script.
#
# Environment:
#   ZERBANO_SANITIZE_DIR  venv and build dir (default /tmp/zerbano-sanitize)
#   ZERBANO_TEST_SCALE    scale of the heavy tests (default 1: the full run takes about a minute)
#   PYTHON                the interpreter to build for (default python3)
set -euo pipefail
cd "$(dirname "$0")/.."

work=${ZERBANO_SANITIZE_DIR:-/tmp/zerbano-sanitize}
python=${PYTHON:-python3}
venv=$work/venv

echo "== sanitizer build in $work"
# The environment holds everything the build and the tests need, whatever the interpreter
# itself has installed: the runtime and test requirements, and the build backend.
"$python" -m venv "$venv"
requirements=$("$venv/bin/python" - <<'EOF'
import tomllib

with open("pyproject.toml", "rb") as file:
    project = tomllib.load(file)["project"]
extras = project["optional-dependencies"]


def expand(requirement):
    # "zerbano[opencv]" names one of the project's own extras
    if requirement.startswith(project["name"] + "["):
        for extra in requirement[len(project["name"]) + 1:-1].split(","):
            yield from (r for item in extras[extra] for r in expand(item))
    else:
        yield requirement


print("\n".join(project["dependencies"] + [r for item in extras["test"] for r in expand(item)]))
EOF
)
build_tools=(scikit-build-core)
command -v cmake >/dev/null || build_tools+=(cmake ninja)
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
# shellcheck disable=SC2086  # one requirement a line
"$venv/bin/pip" install -q $requirements "${build_tools[@]}"
"$venv/bin/pip" install -q --force-reinstall --no-deps --no-build-isolation \
    -C build-dir="$work/build" \
    -C cmake.build-type=Debug \
    -C cmake.define.ZERBANO_SANITIZE=ON \
    -C cmake.define.ZERBANO_WERROR=ON \
    .

asan=$(g++ -print-file-name=libasan.so)
cxx=$(g++ -print-file-name=libstdc++.so.6)
[[ -f $asan && -f $cxx ]] || { echo "sanitize.sh: no libasan.so or libstdc++ from g++" >&2; exit 1; }

# libstdc++ is loaded with the runtime, so that ASan finds the real __cxa_throw when it starts
# (cv2 throws C++ exceptions internally; the interpreter alone does not load libstdc++).
export LD_PRELOAD="$asan $cxx"
export PYTHONMALLOC=malloc
# ASan reports go to files, so that those of subprocess interpreters are seen too. UBSan's
# runtime writes to stderr whatever it is told: the test process keeps its stderr (pytest
# captures only at the sys level) and the script scans it.
reports=$work/reports
rm -rf "$reports" && mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:log_path=$reports/asan:suppressions=$PWD/tools/asan.supp"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86"
export ZERBANO_TEST_SCALE=${ZERBANO_TEST_SCALE:-1}

# The tests must import the instrumented module, not another installed copy.
so=$(cd / && "$venv/bin/python" -c "import zerbano.image as m; print(m.__file__)")
case $so in
    "$venv"/*) ;;
    *) echo "sanitize.sh: tests would import $so, not the sanitizer build" >&2; exit 1 ;;
esac
readelf -d "$so" | grep -q 'libasan' || { echo "sanitize.sh: $so is not instrumented" >&2; exit 1; }

echo "== tests under ASan+UBSan ($so)"
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys tests "$@" \
    2>"$work/stderr.log" || status=$?

# A report fails the run even when it came from a subprocess whose failure a test expected.
found=0
if compgen -G "$reports/*" >/dev/null; then
    cat "$reports"/* >&2
    found=1
fi
if grep -qE 'runtime error:|ERROR: (Address|UndefinedBehavior)Sanitizer' "$work/stderr.log"; then
    grep -E -A40 'runtime error:|ERROR: (Address|UndefinedBehavior)Sanitizer' "$work/stderr.log" >&2
    found=1
fi
if (( found || status == 86 )); then
    echo "sanitize.sh: the sanitizers reported errors (above; stderr kept in $work/stderr.log)" >&2
    exit 1
fi
if (( status != 0 )); then
    tail -n 40 "$work/stderr.log" >&2
fi
exit "$status"
