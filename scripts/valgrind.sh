#!/usr/bin/env bash
# Runs the bridge's tests under valgrind memcheck against the .venv build and
# fails when an error record has a frame in our modules (ferrule, pylon,
# satchel). CPython and numpy noise is left out by scripts/valgrind-python.supp
# and by that filter. Extra arguments go to pytest (default: tests/ferrule).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$root"
"$root/scripts/setup.sh" 3.12 >/dev/null
log="${VALGRIND_LOG:-$root/build/valgrind-memcheck.log}"
mkdir -p "$(dirname "$log")"
[ $# -gt 0 ] || set -- tests/ferrule
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=no --track-origins=no --num-callers=40 \
    --suppressions="$root/scripts/valgrind-python.supp" --log-file="$log" \
    "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
"$root/.venv/bin/python" - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
records = [r for r in re.split(r"\n==\d+== \n", text) if re.search(r"==\d+== (Invalid|Conditional|Use of|Syscall|Mismatched|Source and|Argument)", r)]
ours = [r for r in records if re.search(r"(ferrule|pylon|satchel)\.cpython|glue::|ferrule::|satchel::|pylon::", r)]
summary = re.findall(r"ERROR SUMMARY: .*", text)
print(f"valgrind: {len(records)} error records in total, {len(ours)} from our modules; {summary[-1] if summary else ''}")
for r in ours[:5]:
    print(r)
sys.exit(1 if ours else 0)
PY
