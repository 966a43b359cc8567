# Shared setup, sourced by the scripts in this directory (not run directly).
#
#   zd_setup [--asan]
#
# Finds the interpreter, makes the virtual environment with the pinned
# requirements, configures and builds build/<variant> incrementally.
# Afterwards these are set:
#   ZD_ROOT ZD_PY (venv python) ZD_VENV ZD_BUILD ZD_PYVER ZD_PYTHONPATH
#
# Knobs: ZD_VARIANT (build dir name, default release; --asan means asan, or
#                    <variant>-asan for a private variant; a name ending in
#                    asan is a sanitizer build),
#        ZD_PYTHON  (interpreter to use instead of CPython 3.10).

ZD_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ZD_DEFAULT_PYVER=3.10

zd_die() {
    echo "error: $*" >&2
    exit 1
}

zd_log() {
    echo "[zudirivi] $*" >&2
}

zd_hash() {
    sha256sum | cut -d' ' -f1
}

# Prints the command (one word per line) that runs the base interpreter.
zd_find_python() {
    if [[ -n "${ZD_PYTHON:-}" ]]; then
        command -v "$ZD_PYTHON" >/dev/null 2>&1 || [[ -x "$ZD_PYTHON" ]] ||
            zd_die "ZD_PYTHON=$ZD_PYTHON is not an executable"
        "$ZD_PYTHON" -c 'import sys' >/dev/null 2>&1 ||
            zd_die "ZD_PYTHON=$ZD_PYTHON does not run"
        printf '%s\n' "$ZD_PYTHON"
        return
    fi
    if python3.10 -c 'import sys' >/dev/null 2>&1; then
        printf '%s\n' python3.10
        return
    fi
    local root="" dir ver
    if command -v pyenv >/dev/null 2>&1; then
        root="$(pyenv root 2>/dev/null || true)"
    fi
    [[ -n "$root" ]] || root="${PYENV_ROOT:-$HOME/.pyenv}"
    # Newest 3.10.x under pyenv.
    dir="$(ls -d "$root"/versions/3.10.* 2>/dev/null | sort -V | tail -n 1 || true)"
    if [[ -n "$dir" ]]; then
        ver="$(basename "$dir")"
        if PYENV_VERSION="$ver" python3.10 -c 'import sys' >/dev/null 2>&1; then
            printf 'env\nPYENV_VERSION=%s\npython3.10\n' "$ver"
            return
        fi
        if "$dir/bin/python3.10" -c 'import sys' >/dev/null 2>&1; then
            printf '%s\n' "$dir/bin/python3.10"
            return
        fi
    fi
    zd_die "no CPython 3.10 found: python3.10 does not run, and there is no" \
        "$root/versions/3.10.*/bin/python3.10 (install it, e.g. 'pyenv install 3.10'," \
        "or set ZD_PYTHON to an interpreter)"
}

# Runs "$@" under an exclusive lock on file $1 (created if missing).
zd_locked() {
    local lockfile="$1"
    shift
    mkdir -p "$(dirname "$lockfile")"
    (
        flock 9 || zd_die "cannot lock $lockfile"
        "$@"
    ) 9>"$lockfile"
}

_zd_make_venv() {
    local -a base=("$@")
    local req="$ZD_ROOT/requirements.txt"
    local stamp="$ZD_VENV/.zd-requirements.sha256"
    local want
    want="$( (cat "$req"; "$ZD_VENV/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null || true) | zd_hash)"
    if [[ -x "$ZD_VENV/bin/python" && -f "$stamp" && "$(cat "$stamp")" == "$want" ]]; then
        return 0
    fi
    if ! "$ZD_VENV/bin/python" -c 'import sys' >/dev/null 2>&1; then
        zd_log "creating $(basename "$ZD_VENV") with ${base[*]}"
        rm -rf "$ZD_VENV"
        "${base[@]}" -m venv "$ZD_VENV" || zd_die "cannot create the virtual environment $ZD_VENV"
    fi
    # pip older than 23 lacks what the pinned wheels need; upgrade only then.
    if ! "$ZD_VENV/bin/python" -c \
        'import sys, pip; sys.exit(int(pip.__version__.split(".")[0]) < 23)' 2>/dev/null; then
        zd_log "upgrading pip"
        "$ZD_VENV/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip ||
            zd_die "cannot upgrade pip in $ZD_VENV"
    fi
    zd_log "installing requirements.txt into $(basename "$ZD_VENV")"
    "$ZD_VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
        -r "$req" || zd_die "cannot install requirements.txt into $ZD_VENV"
    want="$( (cat "$req"; "$ZD_VENV/bin/python" -c 'import sys; print(sys.version)') | zd_hash)"
    echo "$want" >"$stamp"
}

_zd_site_packages() {
    "$ZD_PY" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])'
}

_zd_build() {
    local sanitize="$1"
    local cmake="$ZD_VENV/bin/cmake" ninja="$ZD_VENV/bin/ninja"
    local -a args=(
        -S "$ZD_ROOT" -B "$ZD_BUILD" -G Ninja
        -DCMAKE_MAKE_PROGRAM="$ninja"
        -DCMAKE_BUILD_TYPE="${ZD_BUILD_TYPE:-Release}"
        -DPython_EXECUTABLE="$ZD_PY"
        -DZD_SANITIZE="$sanitize"
    )
    local stamp="$ZD_BUILD/.zd-configure.sha256"
    local want
    want="$(printf '%s\n' "${args[@]}" | zd_hash)"
    if [[ ! -f "$ZD_BUILD/build.ninja" || ! -f "$stamp" || "$(cat "$stamp")" != "$want" ]]; then
        zd_log "configuring $ZD_BUILD"
        rm -f "$stamp"
        mkdir -p "$ZD_BUILD"
        "$cmake" "${args[@]}" >"$ZD_BUILD/zd-configure.log" 2>&1 || {
            cat "$ZD_BUILD/zd-configure.log" >&2
            zd_die "CMake configure of $ZD_BUILD failed (log above)"
        }
        echo "$want" >"$stamp"
    fi
    # Build output goes to stderr: stdout belongs to what the script runs.
    CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" "$cmake" --build "$ZD_BUILD" >&2 ||
        zd_die "build of $ZD_BUILD failed (errors above)"
}

zd_setup() {
    local asan=0
    [[ "${1:-}" == "--asan" ]] && asan=1

    local -a base
    mapfile -t base < <(zd_find_python)
    [[ ${#base[@]} -gt 0 ]] || exit 1
    ZD_PYVER="$("${base[@]}" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" ||
        zd_die "cannot run ${base[*]}"

    local suffix=""
    [[ "$ZD_PYVER" == "$ZD_DEFAULT_PYVER" ]] || suffix="-$ZD_PYVER"
    ZD_VENV="$ZD_ROOT/.venv$suffix"
    ZD_PY="$ZD_VENV/bin/python"

    local variant="${ZD_VARIANT:-release}"
    local sanitize=OFF
    if [[ $asan == 1 ]]; then
        # A private variant gets a private sanitizer build beside it.
        case "$variant" in
            release | asan) variant=asan ;;
            *) variant="$variant-asan" ;;
        esac
    fi
    [[ "$variant" == asan || "$variant" == *-asan ]] && sanitize=ON
    [[ "$variant" =~ ^[A-Za-z0-9._-]+$ ]] || zd_die "ZD_VARIANT=$variant: use letters, digits, . _ -"
    ZD_BUILD="$ZD_ROOT/build/$variant$suffix"
    ZD_SANITIZE_ON="$sanitize"

    local locks="$ZD_ROOT/build/.locks"
    zd_locked "$locks/venv$suffix.lock" _zd_make_venv "${base[@]}"
    ZD_BUILD_LOCK="$locks/$variant$suffix.lock"
    zd_locked "$ZD_BUILD_LOCK" _zd_build "$sanitize"

    ZD_PYTHONPATH="$ZD_BUILD/python:$ZD_BUILD/testmods"
    # The default build is importable from the venv without PYTHONPATH.
    if [[ "$variant" == release ]]; then
        local pth
        pth="$(_zd_site_packages)/zudirivi-build.pth"
        if [[ ! -f "$pth" || "$(cat "$pth")" != "$ZD_BUILD/python" ]]; then
            echo "$ZD_BUILD/python" >"$pth"
        fi
    fi
    export ZD_ROOT ZD_PY ZD_VENV ZD_BUILD ZD_PYVER ZD_PYTHONPATH ZD_SANITIZE_ON ZD_BUILD_LOCK
}

# Holds a shared lock on the build dir until this shell (or what it execs)
# ends: a concurrent build in the same dir waits until the run is over.
zd_hold_build() {
    exec 8>>"$ZD_BUILD_LOCK"
    flock -s 8 || zd_die "cannot lock $ZD_BUILD_LOCK"
}

# Environment for running Python against the build, sanitizer runtime included.
zd_run_env() {
    local -a env=("PYTHONPATH=$ZD_PYTHONPATH${PYTHONPATH:+:$PYTHONPATH}")
    if [[ "$ZD_SANITIZE_ON" == ON ]]; then
        local asan ubsan
        asan="$(g++ -print-file-name=libasan.so)"
        ubsan="$(g++ -print-file-name=libubsan.so)"
        [[ -f "$asan" ]] || zd_die "libasan.so not found by g++ (install the compiler's sanitizer runtime)"
        local preload="$asan"
        [[ -f "$ubsan" ]] && preload="$preload:$ubsan"
        env+=("LD_PRELOAD=$preload"
            "ASAN_OPTIONS=detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
            "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}")
    fi
    printf '%s\n' "${env[@]}"
}
