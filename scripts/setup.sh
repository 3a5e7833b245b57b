#!/usr/bin/env bash
# Prepares the environments: one venv per supported CPython (.venv for 3.12,
# the primary, which must be found; .venv-3.13, .venv-3.14, .venv-3.15), each
# with the dependencies from PyPI, the stand-ins for the gateway SDK and the
# engine, and the compiled core built with the machine's compiler (the build is
# cached per interpreter in build/). 3.12 and 3.13 come from PATH or pyenv;
# 3.14 and 3.15 from there or else from a Debian unstable root that this script
# makes in the cache folder (scripts/envs.sh). An interpreter this machine
# cannot have is skipped with one line saying why.
#
# A venv whose record matches the tree is left alone, so a set-up that is
# already complete costs a fraction of a second.
#
#   scripts/setup.sh              every interpreter
#   scripts/setup.sh 3.12 3.14    those
#
# Exit status: 0 when every interpreter asked for is ready or skipped, 1 when a
# set-up failed or 3.12 is missing. With CORVINA_SKIPPED=FILE, one line per
# skipped interpreter is appended to FILE.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$root"
. "$root/scripts/envs.sh"

versions=("$@")
[ ${#versions[@]} -eq 0 ] && versions=("${CORVINA_VERSIONS[@]}")
skip_file="$(mktemp)"
trap 'rm -f "$skip_file"' EXIT
status=0
for v in "${versions[@]}"; do
    case " ${CORVINA_VERSIONS[*]} " in
        *" $v "*) ;;
        *) echo "setup: CPython $v is not supported (${CORVINA_VERSIONS[*]})" >&2; status=1; continue ;;
    esac
    : > "$skip_file"
    set +e
    (set -e; env_prepare "$v")
    rc=$?
    set -e
    if [ "$rc" = 3 ] && [ "$v" != 3.12 ]; then
        echo "setup: skipping CPython $v: $(cat "$skip_file")" >&2
        [ -z "${CORVINA_SKIPPED:-}" ] || echo "CPython $v: skipped: $(cat "$skip_file")" >> "$CORVINA_SKIPPED"
    elif [ "$rc" = 3 ]; then
        echo "setup: CPython 3.12 is required: $(cat "$skip_file")" >&2
        status=1
    elif [ "$rc" != 0 ]; then
        echo "setup: setting up CPython $v failed" >&2
        status=1
    fi
done
exit "$status"
