#!/usr/bin/env bash
# By hand: the whole suite several times in a row on one interpreter while
# stress-ng (from Debian's archive) keeps every core busy, so that a test
# that leans on the machine's speed or on a wall-clock guess shows itself.
# Stops at the first failed run.
#   scripts/stress.sh [RUNS] [VERSION] [PYTEST ARG...]     (5 runs on 3.12 by default)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$root"
runs="${1:-5}"; v="${2:-3.12}"
shift $(( $# < 2 ? $# : 2 ))
if ! command -v stress-ng >/dev/null; then
    echo "stress: installing stress-ng" >&2
    { apt-get install -y -q stress-ng || { apt-get update -q && apt-get install -y -q stress-ng; }; } >/dev/null
fi
"$root/scripts/setup.sh" "$v" >&2
stress-ng --cpu "$(nproc)" --cpu-method all --quiet &
load=$!
trap 'kill "$load" 2>/dev/null; wait "$load" 2>/dev/null || true' EXIT
for i in $(seq 1 "$runs"); do
    start=$SECONDS
    if ! "$root/scripts/run-in.sh" "$v" python -m pytest -q -p no:cacheprovider "$@"; then
        echo "stress: run $i of $runs FAILED after $((SECONDS - start)) s" >&2
        exit 1
    fi
    echo "stress: run $i of $runs passed in $((SECONDS - start)) s, cores loaded by stress-ng" >&2
done
