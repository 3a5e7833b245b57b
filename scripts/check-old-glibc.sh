#!/usr/bin/env bash
# Run by hand after ./scripts/build-dist.sh, optionally naming the folder of
# its wheels (default dist/; not part of the tests: the first
# run builds an interpreter, some minutes): shows that the cp313 release wheel
# imports and runs under glibc 2.31, older than any machine that builds it.
# A minimal Debian bullseye root is made in the cache folder (scripts/envs.sh),
# CPython 3.13 is built in it from the source of Debian's trixie python3.13
# package with bullseye's own compiler, and a fresh venv there gets the
# dependencies from PyPI and dist/'s wheels with --no-index; then the modules
# are imported, the `corvina` command and a whole simulated day are run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$root"
. "$root/scripts/envs.sh"

OLD_SUITE=bullseye
OLD_PACKAGES="gcc make libc6-dev libssl-dev zlib1g-dev libffi-dev xz-utils"
SOURCE_SUITE=trixie
SOURCE_PACKAGE=python3.13
prefix=/opt/cpython-3.13

debian_root old-glibc "$OLD_SUITE" "$OLD_PACKAGES" || { echo "check-old-glibc: $skip_reason" >&2; exit 1; }
old="$root_dir"

if [ ! -x "$old$prefix/bin/python3.13" ]; then
    # The source package through a private apt configuration: the host's keyring checks it.
    src="$cache/old-glibc-src"
    rm -rf "$src"
    mkdir -p "$src/lists/partial" "$src/archives/partial" "$src/files"
    echo "deb-src $(debian_mirror) $SOURCE_SUITE main" > "$src/sources.list"
    apt=(apt-get -q -o Dir::Etc::SourceList="$src/sources.list" -o Dir::Etc::SourceParts=/nonexistent
         -o Dir::State::Lists="$src/lists" -o Dir::Cache="$src" -o Acquire::Check-Valid-Until=false)
    "${apt[@]}" update
    (cd "$src/files" && "${apt[@]}" source --download-only "$SOURCE_PACKAGE")
    tarball="$(ls "$src"/files/"$SOURCE_PACKAGE"_*.orig.tar.xz)"
    echo "check-old-glibc: building CPython from $(basename "$tarball") in the $OLD_SUITE root" >&2
    rm -rf "$old/usr/src/cpython"
    mkdir -p "$old/usr/src/cpython"
    tar -xJf "$tarball" -C "$old/usr/src/cpython" --strip-components=1
    root_exec "$old" /bin/sh -c "cd /usr/src/cpython && ./configure -q --prefix=$prefix >/dev/null \
        && make -s -j\$(nproc) >/dev/null 2>&1 && make -s altinstall >/dev/null 2>&1"
fi

dist="$(cd "${1:-dist}" && pwd)"
wheels=("$dist"/corvina_core-*-cp313-*manylinux*.whl)
[ -f "${wheels[0]}" ] || { echo "check-old-glibc: no cp313 wheel in $dist (run ./scripts/build-dist.sh 3.13 first)" >&2; exit 1; }
venv=/opt/check-venv
root_exec "$old" /bin/sh -c "rm -rf $venv && $prefix/bin/python3.13 -m venv $venv \
    && $venv/bin/python -m pip install -q click numpy numpy-ringbuffer \
    && $venv/bin/python -m pip install -q --no-index ${wheels[0]} $dist/pyvela-*.whl $dist/corvina_engine_standin-*.whl"
root_exec "$old" /bin/sh -c "set -x
    ldd --version | head -n1
    $venv/bin/python -c 'import sys, platform; print(sys.version.split()[0], platform.libc_ver())'
    $venv/bin/python -m pip list 2>/dev/null | grep -i corvina
    cd /tmp && $venv/bin/python -c 'import corvina.lumen.utils.ferrule as f, corvina.lumen.sdk.pylon, corvina.lumen.sdk.satchel; print(f.__file__)'
    $venv/bin/corvina --help | head -n3
    $venv/bin/python -m corvina.lumen.live --speed max"
