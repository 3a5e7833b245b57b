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

for p in clang libclang-rt-dev make libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev xz-utils; do
    dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || missing+=" $p"
done
if [ -n "${missing:-}" ]; then
    echo "tsan: installing$missing" >&2
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing >/dev/null || {
        apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends $missing >/dev/null; }
fi

prefix="$cache/cpython-3.13t-tsan"
py="$prefix/bin/python3.13t"
configure="--disable-gil --with-thread-sanitizer --with-ensurepip=install"
recipe="$(printf '%s\n' "$FT_SOURCE_SUITE" "$configure" clang | sha256sum | cut -c1-16)"
if [ "$(cat "$prefix/.corvina-build" 2>/dev/null)" != "$recipe" ] || [ ! -x "$py" ]; then
    src="$cache/cpython-3.13t-tsan-src"
    log="$cache/cpython-3.13t-tsan.log"
    echo "tsan: building CPython 3.13t with ThreadSanitizer into $prefix (log: $log)" >&2
    {
        debian_source "$FT_SOURCE_SUITE" python3.13 "$src/apt" &&
        rm -rf "$src/tree" "$prefix" && mkdir -p "$src/tree" &&
        tar -xJf "$source_tarball" -C "$src/tree" --strip-components=1 &&
        (cd "$src/tree" && CC=clang CXX=clang++ ./configure -q --prefix="$prefix" $configure &&
         make -s -j"$(nproc)" && make -s altinstall) &&
        cp "$src/tree/Tools/tsan/suppressions_free_threading.txt" "$prefix/tsan-suppressions.txt"
    } >"$log" 2>&1 || { echo "tsan: the build failed: $log" >&2; exit 1; }
    rm -rf "$src/tree"
    echo "$recipe" > "$prefix/.corvina-build"
fi

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
