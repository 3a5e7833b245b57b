#!/usr/bin/env bash
# The main job: a simulated trading day on the shipped sample, with a progress
# line and a summary. Sets everything up first (as the test command does).
# Options go to `python -m corvina.lumen.live`: --data FILE, --speed X|max,
# --strategy MODULE|FILE.py, --window HH:MM-HH:MM, --quiet, --faults [KIND,...].
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh" >&2
cd "$root"
exec "$root/.venv/bin/python" -m corvina.lumen.live "$@"
