#!/usr/bin/env bash
# The test command: sets everything up on a fresh machine, then runs the
# tests on every supported interpreter it has an environment for: CPython
# 3.12 (.venv, required: set-up fails without it), then 3.13 (.venv-3.13,
# when set-up found one). Fails if any run fails; extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
status=0
for venv in .venv .venv-3.13; do
    [ -x "$venv/bin/python" ] || continue
    echo "== CPython $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])') ($venv)"
    "$venv/bin/python" -m pytest -q "$@" || status=$?
done
exit "$status"
