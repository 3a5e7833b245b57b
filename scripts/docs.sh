#!/usr/bin/env bash
# The manual: builds it strictly (a broken link, a missing page or a stale
# reference fails) into build/docs, or with `serve` previews it. Its tools come
# from PyPI (requirements-docs.txt) into .venv, installed again only when that
# file changes (the record is .venv/.corvina-docs).
#
#   scripts/docs.sh            build
#   scripts/docs.sh serve      preview on http://127.0.0.1:8000
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$root"
py="$root/.venv/bin/python"
export NO_MKDOCS_2_WARNING=1  # the theme's notice on every build
if [ ! -x "$py" ]; then
    "$root/scripts/setup.sh" 3.12 >&2
fi
record="$root/.venv/.corvina-docs"
want="requirements-docs $(sha256sum requirements-docs.txt | cut -c1-16)"
if [ "$(cat "$record" 2>/dev/null)" != "$want" ]; then
    echo "docs: installing requirements-docs.txt into .venv" >&2
    "$py" -m pip install -q -r requirements-docs.txt
    echo "$want" > "$record"
fi
case "${1:-build}" in
    build) exec "$py" -m mkdocs build --strict --clean -q -f mkdocs.yml ;;
    serve) shift; exec "$py" -m mkdocs serve --strict -f mkdocs.yml "$@" ;;
    *) echo "usage: scripts/docs.sh [build|serve [mkdocs serve options]]" >&2; exit 2 ;;
esac
