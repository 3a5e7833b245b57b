#!/usr/bin/env bash
# Prepares the environments on a fresh machine: .venv with CPython 3.12 (the
# primary interpreter; setup fails without it) and .venv-3.13 with CPython
# 3.13 beside it (skipped, with a message, when none is found). Each gets the
# dependencies from PyPI, the stand-ins for the gateway SDK and the engine,
# and the compiled core; the build of the three extension modules is cached
# per interpreter in build/, so a second run only recompiles what changed.
#
#   scripts/setup.sh            both environments
#   scripts/setup.sh 3.12       only .venv
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# is_version PYTHON 3.12
is_version() { "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$2'.split('.'))))" >/dev/null 2>&1; }

# find_python 3.12: PATH first, then pyenv's versions, newest patch release first.
find_python() {
    local want="$1" c
    for c in "python$want" python3 python; do
        if command -v "$c" >/dev/null 2>&1 && is_version "$(command -v "$c")" "$want"; then command -v "$c"; return; fi
    done
    local roots=("$HOME/.pyenv")
    command -v pyenv >/dev/null 2>&1 && roots=("$(pyenv root)" "${roots[@]}")
    for r in "${roots[@]}"; do
        for c in $(ls -d "$r"/versions/"$want".*/bin/python"$want" 2>/dev/null | sort -V -r); do
            if is_version "$c" "$want"; then echo "$c"; return; fi
        done
    done
    return 1
}

# install_into VENV: dependencies, the gateway SDK stand-in, then corvina.
install_into() {
    local venv="$1"
    local pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
    local stamp="$venv/.requirements.sha" want
    want="$(sha256sum requirements-dev.txt | cut -d' ' -f1)"
    if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
        "${pip[@]}" install -r requirements-dev.txt
        echo "$want" > "$stamp"
    fi
    "${pip[@]}" install ./standins/pyvela ./standins/corvina
    local build_args=()
    [ -n "${CORVINA_SANITIZE:-}" ] && build_args+=(--config-settings=cmake.define.CORVINA_SANITIZE=ON)
    "${pip[@]}" install --no-build-isolation "${build_args[@]}" .
}

# make_env VENV VERSION PYTHON: (re)creates VENV when it is missing or of another version, then installs.
make_env() {
    local venv="$1" version="$2" py="$3"
    if [ ! -x "$venv/bin/python" ] || ! is_version "$venv/bin/python" "$version"; then
        echo "setup: creating $(basename "$venv") with $py"
        rm -rf "$venv"
        "$py" -m venv "$venv"
    fi
    install_into "$venv"
}

setup_312() {
    local py
    py="$(find_python 3.12)" || { echo "setup: no CPython 3.12 found (looked on PATH and under pyenv)" >&2; exit 1; }
    make_env "$root/.venv" 3.12 "$py"
}

setup_313() {
    local py
    if ! py="$(find_python 3.13)"; then
        echo "setup: no CPython 3.13 found (looked on PATH and under pyenv); skipping .venv-3.13" >&2
        return 0
    fi
    make_env "$root/.venv-3.13" 3.13 "$py"
}

versions=("$@")
[ ${#versions[@]} -eq 0 ] && versions=(3.12 3.13)
for v in "${versions[@]}"; do
    case "$v" in
        3.12) setup_312 ;;
        3.13) setup_313 ;;
        *) echo "setup: CPython $v is not supported (3.12, 3.13)" >&2; exit 2 ;;
    esac
done
