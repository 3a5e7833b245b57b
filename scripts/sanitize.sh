#!/usr/bin/env bash
# Builds the three modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into a venv of their own (.venv-asan, build dir build/asan-*), never touching
# .venv, and runs the whole test suite against that build. Extra arguments go
# to pytest, e.g. ./scripts/sanitize.sh tests/ferrule -x
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$root"
"$root/scripts/setup.sh" 3.12 >/dev/null   # finds CPython 3.12 and fills .venv's dependencies
venv="$root/.venv-asan"
if [ ! -x "$venv/bin/python" ]; then
    py="$("$root/.venv/bin/python" -c 'import sys; print(sys._base_executable)')"
    "$py" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
stamp="$venv/.requirements.sha"
want="$(sha256sum requirements-dev.txt | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    "${pip[@]}" install -r requirements-dev.txt
    echo "$want" > "$stamp"
fi
"${pip[@]}" install ./standins/pyvela ./standins/corvina
CORVINA_SANITIZE=ON "${pip[@]}" install --no-build-isolation \
    --config-settings=build-dir="build/asan-{wheel_tag}" \
    --config-settings=cmake.define.CORVINA_SANITIZE=ON .

# The interpreter is not instrumented: the runtimes are preloaded. CPython
# leaks at exit by design, so leak detection is off; any other report aborts.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
