# The interpreters' environments; sourced by setup.sh, test.sh and build-dist.sh
# with $root set to the checkout.
#
# Each supported CPython has a venv in the checkout: .venv (3.12, the primary),
# .venv-3.13, .venv-3.14, .venv-3.15, and .venv-3.13t, .venv-3.14t, .venv-3.15t
# for the free-threaded builds. An interpreter is taken from PATH or pyenv.
# Where the machine has no 3.14 or 3.15, it comes from a minimal Debian
# unstable root kept in the cache folder (outside the checkout, so clones share
# it); that venv is made and used inside the root, with the checkout mounted at
# the same path, so its paths, subprocesses and wheels work as on a host.
# Where it has no free-threaded 3.13, one is built on the host from the source
# of Debian's trixie python3.13 and kept in the cache folder; 3.14t and 3.15t
# are used only where PATH or pyenv has them.
#
# Every venv keeps a record (.corvina-setup) of what was installed from which
# sources; a set-up whose record matches the tree runs no installer.

CORVINA_VERSIONS=(3.12 3.13 3.14 3.15 3.13t 3.14t 3.15t)
cache="${CORVINA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvina}"

# The unstable root's recipe: a change to any of these rebuilds it.
UNSTABLE_SUITE=sid
UNSTABLE_PACKAGES="python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++ zlib1g-dev"
# The suite's Release file may be dated before its Valid-Until allows.
ROOT_APT_CONF='Acquire::Check-Valid-Until "false";'

venv_of() { if [ "$1" = 3.12 ]; then echo "$root/.venv"; else echo "$root/.venv-$1"; fi; }

# is_version PYTHON 3.12 (a GIL build) or 3.13t (a free-threaded one)
is_version() {
    "$1" -c "import sys, sysconfig; v = '$2'; ft = v.endswith('t')
sys.exit(sys.version_info[:2] != tuple(map(int, v.rstrip('t').split('.'))) or ft != bool(sysconfig.get_config_var('Py_GIL_DISABLED')))" >/dev/null 2>&1
}

# find_python 3.12: PATH first, then pyenv's versions, newest patch release first.
find_python() {
    local want="$1" c r
    # pyenv's shims are skipped: slow to start, and its versions are looked at below.
    for c in $(type -P -a "python$want" python3 python 2>/dev/null | grep -v '/shims/'); do
        if is_version "$c" "$want"; then echo "$c"; return; fi
    done
    local roots=("$HOME/.pyenv")
    [ -n "${PYENV_ROOT:-}" ] && roots=("$PYENV_ROOT" "${roots[@]}")
    for r in "${roots[@]}"; do
        # pyenv names a free-threaded build 3.13.5t, its program python3.13t.
        for c in $(ls -d "$r"/versions/"${want%t}".*/bin/python"$want" 2>/dev/null | sort -V -r); do
            if is_version "$c" "$want"; then echo "$c"; return; fi
        done
    done
    return 1
}

# tree_hash PATH...: the content of the files under PATHs, build products left out.
tree_hash() {
    (cd "$root" && find "$@" \( -name __pycache__ -o -name build -o -name dist -o -name '*.egg-info' \) -prune \
        -o -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -c1-16)
}

# --- Debian roots -----------------------------------------------------------

# The Debian mirror this machine's apt uses (or $CORVINA_DEBIAN_MIRROR).
debian_mirror() {
    if [ -n "${CORVINA_DEBIAN_MIRROR:-}" ]; then echo "$CORVINA_DEBIAN_MIRROR"; return; fi
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -r "$f" ] || continue
        sed -n -E 's#^[[:space:]]*(deb|URIs:)[[:space:]]+(\[[^]]*\][[:space:]]+)?(https?://[^[:space:]]+/debian)/?([[:space:]].*)?$#\3#p' "$f"
    done | sed -n 1p
}

# Refuses to delete a root that still has something mounted in it.
remove_root() {
    local dir="$1"
    [ -e "$dir" ] || return 0
    if awk -v d="$dir/" 'index($2 "/", d) == 1 { found = 1 } END { exit !found }' /proc/self/mounts; then
        echo "setup: $dir has mounts; not removing it" >&2
        return 1
    fi
    rm -rf "$dir"
}

# root_exec DIR CMD...: runs CMD in the root DIR, in a mount namespace of its own
# (so nothing stays mounted), with the checkout at the same path (its physical
# one: each script finds its root with `pwd -P`, so a link to the checkout
# names no second path), a private
# /tmp, the host's CA bundle for pip (its TLS may need it) and a clean
# environment; the working directory is kept.
root_exec() {
    local dir="$1"; shift
    local ca="${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}" k v
    local envs=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
                PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1)
    if [ -r "$ca" ]; then
        envs+=(PIP_CERT=/etc/corvina-host-ca.crt SSL_CERT_FILE=/etc/corvina-host-ca.crt
               REQUESTS_CA_BUNDLE=/etc/corvina-host-ca.crt)
    else
        ca=""
    fi
    while IFS='=' read -r -d '' k v; do
        case "$k" in
            CI|TERM|COLUMNS|PYTHONHASHSEED|PYTHONFAULTHANDLER|PYTHONDEVMODE|PIP_DEFAULT_TIMEOUT|SOURCE_DATE_EPOCH|\
            CORVINA_*|OPENBLAS_*|PYTEST_*|HYPOTHESIS_*) envs+=("$k=$v") ;;
        esac
    done < <(env -0)
    touch "$dir/etc/corvina-host-ca.crt"
    unshare --mount --propagation private -- /bin/sh -c '
        set -e
        dir="$1" checkout="$2" ca="$3" cwd="$4"; shift 4
        mount -t proc proc "$dir/proc"
        mount --rbind /dev "$dir/dev"
        mount --rbind /sys "$dir/sys"
        mount -t tmpfs -o mode=1777 tmpfs "$dir/tmp"
        mkdir -p "$dir$checkout"   # after the private /tmp, where a checkout may lie
        mount --bind "$checkout" "$dir$checkout"
        [ -z "$ca" ] || mount --bind "$ca" "$dir/etc/corvina-host-ca.crt"
        [ ! -f /etc/resolv.conf ] || mount --bind /etc/resolv.conf "$dir/etc/resolv.conf"
        exec chroot "$dir" /usr/bin/env -i "$@"
    ' sh "$dir" "$root" "$ca" "$PWD" "${envs[@]}" /bin/sh -c 'cd "$0" && exec "$@"' "$PWD" "$@"
}

# debian_root NAME SUITE "PACKAGES": makes $cache/NAME a minimal root of SUITE with
# PACKAGES (kept while that recipe stays the same) and sets $root_dir and
# $root_id. Where this machine cannot make one, sets $skip_reason and returns 3.
debian_root() {
    local name="$1" suite="$2" packages="$3" recipe mirror log tmp lock
    root_dir="$cache/$name"
    recipe="$(printf '%s\n' "$suite" "$packages" "$ROOT_APT_CONF" | sha256sum | cut -c1-16)"
    root_id="$(sed -n "s/^recipe=$recipe built=//p" "$root_dir/.corvina-root" 2>/dev/null || true)"
    [ -n "$root_id" ] && return 0

    if [ "$(id -u)" != 0 ]; then skip_reason="making a Debian $suite root needs root (debootstrap, chroot, mounts)"; return 3; fi
    local tool
    for tool in unshare chroot mount; do
        command -v "$tool" >/dev/null || { skip_reason="no $tool on this machine"; return 3; }
    done
    if ! command -v debootstrap >/dev/null; then
        command -v apt-get >/dev/null || { skip_reason="no debootstrap and no apt-get to install it"; return 3; }
        echo "setup: installing debootstrap" >&2
        { apt-get install -y -q debootstrap || { apt-get update -q && apt-get install -y -q debootstrap; }; } >/dev/null 2>&1 \
            || { skip_reason="debootstrap could not be installed with apt-get"; return 3; }
    fi
    mirror="$(debian_mirror)"
    [ -n "$mirror" ] || { skip_reason="no Debian mirror in apt's sources (set CORVINA_DEBIAN_MIRROR)"; return 3; }

    mkdir -p "$cache"
    exec {lock}>"$cache/$name.lock"
    flock "$lock"
    # Another run may have made it while this one waited.
    root_id="$(sed -n "s/^recipe=$recipe built=//p" "$root_dir/.corvina-root" 2>/dev/null || true)"
    if [ -n "$root_id" ]; then exec {lock}>&-; return 0; fi

    log="$cache/$name.log"
    tmp="$cache/$name.new"
    echo "setup: making a Debian $suite root in $root_dir (log: $log)" >&2
    remove_root "$tmp" || { exec {lock}>&-; skip_reason="$tmp is in use"; return 3; }
    # debootstrap mounts /proc in the target: inside a namespace of its own it cannot stay mounted.
    if ! unshare --mount --propagation private -- debootstrap --variant=minbase "$suite" "$tmp" "$mirror" >"$log" 2>&1; then
        exec {lock}>&-
        skip_reason="debootstrap of Debian $suite from $mirror failed (log: $log)"
        return 3
    fi
    printf '%s\n' "$ROOT_APT_CONF" > "$tmp/etc/apt/apt.conf.d/99corvina"
    # shellcheck disable=SC2086
    if ! (cd / && root_exec "$tmp" /bin/sh -c 'apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" && apt-get clean' \
            sh $packages) >>"$log" 2>&1; then
        exec {lock}>&-
        skip_reason="installing $packages in the Debian $suite root failed (log: $log)"
        return 3
    fi
    root_id="$(date -u +%Y%m%dT%H%M%SZ).$$"
    echo "recipe=$recipe built=$root_id" > "$tmp/.corvina-root"
    if [ -e "$root_dir" ]; then
        remove_root "$root_dir.old" && mv "$root_dir" "$root_dir.old" && remove_root "$root_dir.old" \
            || { exec {lock}>&-; skip_reason="the old root $root_dir could not be replaced"; return 3; }
    fi
    mv "$tmp" "$root_dir"
    exec {lock}>&-
    echo "setup: Debian $suite root ready ($(du -sh "$root_dir" 2>/dev/null | cut -f1))" >&2
}

# root_lacks DIR PACKAGE...: those of PACKAGEs not installed in the root DIR.
root_lacks() {
    local dir="$1" p; shift
    for p in "$@"; do
        [ "$(chroot "$dir" dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null)" = "ii " ] || echo "$p"
    done
}

# root_add NAME PACKAGE...: installs into the made root $cache/NAME those of
# PACKAGEs it lacks, from Debian's archive. Not part of the recipe, so only a
# run that asks for them pays for them; a root made again lacks them until
# the next run that asks.
root_add() {
    local name="$1"; shift
    local dir="$cache/$name" log="$cache/$name.log" lock missing rc=0
    [ -n "$(root_lacks "$dir" "$@")" ] || return 0
    exec {lock}>"$cache/$name.lock"
    flock "$lock"
    missing="$(root_lacks "$dir" "$@" | tr '\n' ' ')"  # another run may have installed them meanwhile
    if [ -n "$missing" ]; then
        echo "setup: installing ${missing% } into $dir (log: $log)" >&2
        # shellcheck disable=SC2086
        (cd / && root_exec "$dir" /bin/sh -c 'apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" && apt-get clean' \
            sh $missing) >>"$log" 2>&1 || rc=$?
        [ "$rc" = 0 ] || echo "setup: installing ${missing% } into $dir failed (log: $log)" >&2
    fi
    exec {lock}>&-
    return "$rc"
}

# debian_source SUITE PACKAGE DIR: downloads the source package of SUITE into DIR
# through a private apt configuration (the host's keyring checks it) and sets
# $source_tarball to its .orig.tar.xz.
debian_source() {
    local suite="$1" package="$2" dir="$3" apt
    rm -rf "$dir"
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/files"
    echo "deb-src $(debian_mirror) $suite main" > "$dir/sources.list"
    apt=(apt-get -q -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
         -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir" -o Acquire::Check-Valid-Until=false)
    "${apt[@]}" update
    (cd "$dir/files" && "${apt[@]}" source --download-only "$package")
    source_tarball="$(ls "$dir"/files/"$package"_*.orig.tar.xz)"
}

# The free-threaded CPython built here where the machine has none: trixie's
# python3.13 source, configured with --disable-gil. A change to the recipe
# builds it again.
FT_SOURCE_SUITE=trixie
FT_BUILD_PACKAGES="gcc make libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev xz-utils"
FT_CONFIGURE="--disable-gil --with-ensurepip=install"

# ft_build NAME CONFIGURE CC PACKAGES: sets $py to the CPython 3.13 from
# trixie's source configured with CONFIGURE (compiler CC, empty for the
# default) and kept in the cache as cpython-NAME, building it first where
# needed (some minutes) with the Debian PACKAGES it takes. CPython's own
# ThreadSanitizer suppressions are kept beside it. Sets $skip_reason and
# returns 3 where this machine cannot build it.
ft_build() {
    local name="$1" configure="$2" cc="$3" packages="$4"
    local prefix="$cache/cpython-$name" recipe lock log src rc=0 missing p
    recipe="$(printf '%s\n' "$FT_SOURCE_SUITE" "$configure" ${cc:+"$cc"} | sha256sum | cut -c1-16)"
    py="$prefix/bin/python3.13t"
    [ "$(cat "$prefix/.corvina-build" 2>/dev/null)" = "$recipe" ] && [ -x "$py" ] && return 0
    command -v apt-get >/dev/null || { skip_reason="no apt-get for the source of python3.13"; return 3; }
    mkdir -p "$cache"
    exec {lock}>"$cache/cpython-$name.lock"
    flock "$lock"
    if [ "$(cat "$prefix/.corvina-build" 2>/dev/null)" = "$recipe" ] && [ -x "$py" ]; then exec {lock}>&-; return 0; fi
    missing=""
    for p in $packages; do dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || missing+=" $p"; done
    if [ -n "$missing" ]; then
        echo "setup: installing$missing to build CPython $name" >&2
        # shellcheck disable=SC2086
        { apt-get install -y -q --no-install-recommends $missing || { apt-get update -q && apt-get install -y -q --no-install-recommends $missing; }; } >/dev/null 2>&1 \
            || { exec {lock}>&-; skip_reason="the build tools for CPython $name could not be installed"; return 3; }
    fi
    log="$cache/cpython-$name.log"
    src="$cache/cpython-$name-src"
    echo "setup: building CPython $name from Debian $FT_SOURCE_SUITE's python3.13 source into $prefix (log: $log)" >&2
    {
        debian_source "$FT_SOURCE_SUITE" python3.13 "$src/apt" &&
        rm -rf "$src/tree" "$prefix" && mkdir -p "$src/tree" &&
        tar -xJf "$source_tarball" -C "$src/tree" --strip-components=1 &&
        # shellcheck disable=SC2086
        (cd "$src/tree" && { [ -z "$cc" ] || export CC="$cc"; } && ./configure -q --prefix="$prefix" $configure &&
         make -s -j"$(nproc)" && make -s altinstall) &&
        cp "$src/tree/Tools/tsan/suppressions_free_threading.txt" "$prefix/tsan-suppressions.txt"
    } >"$log" 2>&1 || rc=$?
    if [ "$rc" != 0 ] || [ ! -x "$py" ]; then
        exec {lock}>&-
        skip_reason="building CPython $name failed (log: $log)"
        return 3
    fi
    rm -rf "$src/tree"
    echo "$recipe" > "$prefix/.corvina-build"
    exec {lock}>&-
    echo "setup: CPython $("$py" -c 'import sys; print(sys.version.split()[0])') ($name) ready" >&2
}

# ft_python: the free-threaded 3.13 of the test command (ft_build).
ft_python() { ft_build 3.13t "$FT_CONFIGURE" "" "$FT_BUILD_PACKAGES"; }

# --- environments -----------------------------------------------------------

# env_runner VERSION: sets $runner to the command prefix that runs the venv's
# programs (empty on the host, root_exec ROOT in a Debian root); 1 without a venv.
env_runner() {
    local venv; venv="$(venv_of "$1")"
    local where; where="$(sed -n 's/^interpreter=.* in //p' "$venv/.corvina-setup" 2>/dev/null)"
    runner=()
    case "$where" in
        host) [ -x "$venv/bin/python" ] ;;
        "") return 1 ;;
        *) runner=(root_exec "$cache/${where%%:*}") ;;
    esac
}

# env_tool VERSION PACKAGE COMMAND: makes COMMAND, from the Debian PACKAGE,
# available where that environment's programs run: added to its Debian root,
# or, on the host, installed with apt-get when it is not on PATH.
env_tool() {
    local venv; venv="$(venv_of "$1")"
    local where; where="$(sed -n 's/^interpreter=.* in //p' "$venv/.corvina-setup" 2>/dev/null)"
    case "$where" in
        "") return 1 ;;
        host) ;;
        *) root_add "${where%%:*}" "$2"; return ;;
    esac
    command -v "$3" >/dev/null && return 0
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        echo "setup: no $3 on PATH; install Debian's $2" >&2
        return 1
    fi
    echo "setup: installing $2" >&2
    { apt-get install -y -q --no-install-recommends "$2" || { apt-get update -q && apt-get install -y -q --no-install-recommends "$2"; }; } >/dev/null 2>&1 \
        || { echo "setup: $2 could not be installed with apt-get" >&2; return 1; }
}

record_get() { sed -n "s/^$2=//p" "$1" 2>/dev/null; }
record_set() {
    local file="$1" key="$2" value="$3"
    { grep -v "^$key=" "$file" 2>/dev/null || true; echo "$key=$value"; } > "$file.new" && mv "$file.new" "$file"
}

# env_prepare VERSION: makes that venv ready, doing only what its record shows
# to be missing or out of date. Exits 3 with $skip_reason set where this
# machine has no way to that interpreter. Meant to run in a subshell with -e.
env_prepare() {
    local v="$1" venv py where
    venv="$(venv_of "$v")"
    runner=()
    if py="$(find_python "$v")"; then
        where="host"
        py_id="$py $(stat -Lc %Y "$py")"
    elif [ "$v" = 3.13t ]; then
        ft_python || { echo "$skip_reason" > "$skip_file"; exit 3; }
        where="host"
        py_id="$py $(stat -Lc %Y "$py")"
    elif [ "$v" = 3.14 ] || [ "$v" = 3.15 ]; then
        local rc=0
        debian_root unstable "$UNSTABLE_SUITE" "$UNSTABLE_PACKAGES" || rc=$?
        [ "$rc" = 0 ] || { echo "$skip_reason" > "$skip_file"; exit "$rc"; }
        py="/usr/bin/python$v"
        where="unstable:$root_id"
        py_id="$py"
        runner=(root_exec "$root_dir")
    else
        echo "no CPython $v on PATH or under pyenv" > "$skip_file"
        exit 3
    fi

    local record="$venv/.corvina-setup"
    local want_py="$v $py_id in $where"
    local want_reqs want_standins want_core
    want_reqs="$(tree_hash requirements-dev.txt scripts/envs.sh)"
    want_standins="$(tree_hash standins)"
    want_core="$(tree_hash src CMakeLists.txt pyproject.toml) sanitize=${CORVINA_SANITIZE:-OFF}"

    if [ "$(record_get "$record" interpreter)" != "$want_py" ]; then
        echo "setup: creating $(basename "$venv") with $py${runner:+ (Debian unstable root)}" >&2
        rm -rf "$venv"
        "${runner[@]}" "$py" -m venv "$venv"
        record_set "$record" interpreter "$want_py"
    fi
    local pip=("${runner[@]}" "$venv/bin/python" -m pip --disable-pip-version-check -q)
    if [ "$(record_get "$record" requirements)" != "$want_reqs" ]; then
        echo "setup: $(basename "$venv"): dependencies from PyPI" >&2
        # Some sdists need a Rust build, whose crates cannot be fetched here:
        # those packages come as wheels (hypothesis's pure one, or an older
        # release of what needs them). A free-threaded interpreter prefers an
        # older wheel to building a newer sdist.
        # matplotlib and its compiled dependencies come as wheels only too: their sources need
        # libraries this set-up does not install.
        local wheels_only=(--only-binary=hypothesis,ast-serialize,matplotlib,contourpy,kiwisolver,pillow)
        case "$v" in *t) wheels_only+=(--prefer-binary) ;; esac
        if ! "${pip[@]}" install "${wheels_only[@]}" -r requirements-dev.txt; then
            # What requirements-dev.txt marks optional may have no wheel for this interpreter: the rest
            # goes in without it, and the tests that need it skip.
            echo "setup: $(basename "$venv"): again, without the optional dependencies" >&2
            grep -v '# optional' requirements-dev.txt > "$venv/requirements-dev-required.txt"
            "${pip[@]}" install "${wheels_only[@]}" -r "$venv/requirements-dev-required.txt"
        fi
        record_set "$record" requirements "$want_reqs"
        record_set "$record" standins ""
        record_set "$record" core ""
    fi
    if [ "$(record_get "$record" standins)" != "$want_standins" ]; then
        echo "setup: $(basename "$venv"): the stand-ins" >&2
        "${pip[@]}" install ./standins/pyvela ./standins/corvina
        record_set "$record" standins "$want_standins"
    fi
    if [ "$(record_get "$record" core)" != "$want_core" ]; then
        echo "setup: $(basename "$venv"): the compiled core" >&2
        local build_args=()
        [ "${CORVINA_SANITIZE:-OFF}" != OFF ] && build_args+=(--config-settings=cmake.define.CORVINA_SANITIZE=ON)
        "${pip[@]}" install --no-build-isolation "${build_args[@]}" .
        record_set "$record" core "$want_core"
    fi
}
