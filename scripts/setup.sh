#!/usr/bin/env bash
# Prepares .venv on a fresh machine: finds CPython 3.12, creates the virtual
# environment, installs the dependencies from PyPI, the stand-ins for the
# gateway SDK and the engine, and the compiled core (the build of the three extension modules is cached in
# build/, so a second run only recompiles what changed).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

is_312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; }

find_python() {
    local c
    for c in python3.12 python3 python; do
        if command -v "$c" >/dev/null 2>&1 && is_312 "$(command -v "$c")"; then command -v "$c"; return; fi
    done
    if command -v pyenv >/dev/null 2>&1; then
        local pr; pr="$(pyenv root)"
        for c in $(ls -d "$pr"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do
            if is_312 "$c"; then echo "$c"; return; fi
        done
    fi
    for c in $(ls -d "$HOME"/.pyenv/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do
        if is_312 "$c"; then echo "$c"; return; fi
    done
    return 1
}

venv="$root/.venv"
if [ ! -x "$venv/bin/python" ] || ! is_312 "$venv/bin/python"; then
    py="$(find_python)" || { echo "setup: no CPython 3.12 found (looked on PATH and under pyenv)" >&2; exit 1; }
    echo "setup: creating .venv with $py"
    rm -rf "$venv"
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
build_args=()
[ -n "${CORVINA_SANITIZE:-}" ] && build_args+=(--config-settings=cmake.define.CORVINA_SANITIZE=ON)
"${pip[@]}" install --no-build-isolation "${build_args[@]}" .
