#!/usr/bin/env bash
# Runs a command in the environment of one interpreter (setting it up first if
# needed), inside the Debian unstable root where that environment lives there:
#   scripts/run-in.sh 3.15 python benchmarks/bench_market_data.py
# --valgrind first makes valgrind available there (from Debian's archive, into
# the root the first time it is asked for), for the benchmarks' instructions:
#   scripts/run-in.sh --valgrind 3.14 python benchmarks/bench_matrix.py --rows slots:base
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$root"
. "$root/scripts/envs.sh"
tools=()
[ "${1:-}" != --valgrind ] || { tools+=(valgrind); shift; }
[ $# -ge 2 ] || { echo "usage: scripts/run-in.sh [--valgrind] VERSION COMMAND [ARG...]" >&2; exit 2; }
v="$1"; shift
"$root/scripts/setup.sh" "$v" >&2
env_runner "$v" || { echo "run-in: CPython $v is not set up on this machine" >&2; exit 1; }
for t in "${tools[@]}"; do
    env_tool "$v" "$t" "$t" || { echo "run-in: no $t for CPython $v" >&2; exit 1; }
done
path="$PATH"
[ ${#runner[@]} -eq 0 ] || path=/usr/local/bin:/usr/bin:/bin
"${runner[@]}" env PATH="$(venv_of "$v")/bin:$path" "$@"
