#!/usr/bin/env bash
# By hand: the thread tests under ThreadSanitizer, without the GIL. Builds a
# free-threaded CPython 3.13 with --with-thread-sanitizer (clang, from the same
# Debian source as the test command's 3.13t) into the cache, the three modules
# with -fsanitize=thread into .venv-tsan (build dir build/tsan-*), and runs the
# thread tests there with the GIL off. The interpreter's own reports are
# silenced by CPython's suppression list; ours are not. Extra arguments go to
# pytest (default: tests/reliability/test_threads.py). A report fails the run;
# the log's summary lines say where.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$root"
. "$root/scripts/envs.sh"

ft_build 3.13t-tsan "--disable-gil --with-thread-sanitizer --with-ensurepip=install" clang \
    "clang libclang-rt-dev $FT_BUILD_PACKAGES" || { echo "tsan: $skip_reason" >&2; exit 1; }
prefix="$cache/cpython-3.13t-tsan"

# Reports go to files of their own (pytest captures what a test writes to stderr).
reports="$root/build/tsan-reports"
rm -rf "$reports" && mkdir -p "$reports"
export TSAN_OPTIONS="suppressions=$prefix/tsan-suppressions.txt halt_on_error=0 exitcode=66 history_size=4 log_path=$reports/report"
export PYTHON_GIL=0
venv="$root/.venv-tsan"
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
stamp="$venv/.requirements.sha"
want="$(sha256sum requirements-dev.txt | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    "${pip[@]}" install --only-binary=hypothesis,ast-serialize --prefer-binary -r requirements-dev.txt
    echo "$want" > "$stamp"
fi
"${pip[@]}" install ./standins/pyvela ./standins/corvina
CC=clang CXX=clang++ "${pip[@]}" install --no-build-isolation \
    --config-settings=build-dir="build/tsan-{wheel_tag}" \
    --config-settings=cmake.define.CORVINA_TSAN=ON .

[ $# -gt 0 ] || set -- tests/reliability/test_threads.py
rc=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || rc=$?
found="$(cat "$reports"/report.* 2>/dev/null | grep -c '^WARNING: ThreadSanitizer' || true)"
echo "== ThreadSanitizer: $found reports (in $reports)"
cat "$reports"/report.* 2>/dev/null | grep '^SUMMARY: ThreadSanitizer' | sort | uniq -c | sort -rn | head -20 || true
[ "$found" = 0 ] || rc=66
exit "$rc"
