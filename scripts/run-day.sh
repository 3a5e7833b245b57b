#!/usr/bin/env bash
# The main job: a simulated trading day on the shipped sample, with a progress
# line and a summary. Sets up .venv first (a no-op when its record matches the tree).
# Options go to `python -m corvina.lumen.live`: --data FILE, --speed X|max,
# --strategy MODULE|FILE.py, --window HH:MM-HH:MM, --quiet, --faults [KIND,...], --record FILE
# [--overwrite] (replay it with scripts/replay.sh FILE), --feed-latency MEDIAN,P99, --plot FILE.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
for arg in "$@"; do
    # The help needs no set-up where there is one already.
    if [ "$arg" = "-h" ] || [ "$arg" = "--help" ]; then
        "$root/.venv/bin/python" -m corvina.lumen.live --help 2>/dev/null && exit 0
        break
    fi
done
"$root/scripts/setup.sh" 3.12 >&2
cd "$root"
exec "$root/.venv/bin/python" -m corvina.lumen.live "$@"
