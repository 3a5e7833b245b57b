#!/usr/bin/env bash
# The test command: sets everything up (scripts/setup.sh: every supported
# CPython this machine can have), then runs the whole suite on each of them,
# 3.14 and 3.15 inside the Debian unstable root where the set-up made them
# there. Ends with one line per interpreter: passed, failed or skipped and
# why, and one for the manual (scripts/docs.sh). Fails if a set-up, a run or
# the manual's build fails; extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$root"
. "$root/scripts/envs.sh"

summary="$(mktemp)"
trap 'rm -f "$summary"' EXIT
status=0
start=$SECONDS
CORVINA_SKIPPED="$summary" "$root/scripts/setup.sh" || status=1
echo "== set-up: $((SECONDS - start)) s"

for v in "${CORVINA_VERSIONS[@]}"; do
    venv="$(venv_of "$v")"
    grep -q "^CPython $v: skipped" "$summary" && continue
    if ! env_runner "$v"; then
        echo "CPython $v: not set up" >> "$summary"
        continue
    fi
    where=""
    [ ${#runner[@]} -eq 0 ] || where=", in the Debian unstable root"
    full="$("${runner[@]}" "$venv/bin/python" -c 'import sys, sysconfig; print(sys.version.split()[0] + "t" * bool(sysconfig.get_config_var("Py_GIL_DISABLED")))')"
    echo "== CPython $full (${venv#"$root/"}$where)"
    start=$SECONDS
    rc=0
    "${runner[@]}" "$venv/bin/python" -m pytest -q "$@" || rc=$?
    if [ "$rc" = 0 ]; then
        echo "CPython $full$where: passed in $((SECONDS - start)) s" >> "$summary"
    else
        echo "CPython $full$where: FAILED (pytest exit $rc) in $((SECONDS - start)) s" >> "$summary"
        status=1
    fi
done
# The manual, built strictly: a broken link or a stale reference fails the tests.
echo "== manual (scripts/docs.sh)"
start=$SECONDS
if "$root/scripts/docs.sh"; then
    echo "manual: built in $((SECONDS - start)) s" >> "$summary"
else
    echo "manual: FAILED (scripts/docs.sh)" >> "$summary"
    status=1
fi
echo "== summary"
LC_ALL=C sort -t' ' -k2,2V "$summary"
exit "$status"
