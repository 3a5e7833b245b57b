#!/usr/bin/env bash
# Replays a recording of the bridge (./scripts/run-day.sh --record FILE) through a
# fresh VelaStrategy on the engine's live-run side and prints the day's summary.
# Sets up .venv first (a no-op when its record matches the tree). Options go to
# `python -m corvina.lumen.live.replay`: FILE, --speed X|max, --strategy MODULE|FILE.py, --quiet.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
"$root/scripts/setup.sh" 3.12 >&2
cd "$root"
exec "$root/.venv/bin/python" -m corvina.lumen.live.replay "$@"
