#!/usr/bin/env bash
# The test command: sets everything up on a fresh machine, then runs the tests.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
exec "$root/.venv/bin/python" -m pytest -q "$@"
