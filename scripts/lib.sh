# Shared by the scripts: which interpreters to use and their environments.

# Every CPython from 3.7 to 3.15 on the machine: the newest patch release of
# each minor version under pyenv, plus python3 itself when its minor version is
# in that range and not among them, then the interpreters scripts/sid-pythons
# has provisioned (3.14, 3.15 and the debug build of 3.15) for the versions
# still missing.  One path a line.
pick_interpreters() {
    local root="${PYENV_ROOT:-$HOME/.pyenv}/versions" found=() seen=" " minor v p
    for minor in 7 8 9 10 11 12 13 14 15; do
        v=$(ls "$root" 2>/dev/null | grep -E "^3\.$minor\.[0-9]+$" | sort -V | tail -1 || true)
        if [ -n "$v" ] && [ -x "$root/$v/bin/python" ]; then
            found+=("$root/$v/bin/python")
            seen+="3.$minor "
        fi
    done
    if command -v python3 >/dev/null; then
        p=$(python3 -c 'import sys; print(sys.executable)')
        v=$(py_label "$p")
        case "$seen" in
            *" $v "*) ;;
            *) [ -n "$v" ] && found+=("$p") && seen+="$v " ;;
        esac
    fi
    while read -r v p; do
        case "$seen" in
            *" $v "*) ;;
            *) found+=("$p"); seen+="$v " ;;
        esac
    done < <(bash scripts/sid-pythons --list)
    printf '%s\n' "${found[@]}"
}

# "3.X" for the interpreter at $1, "3.Xd" for a debug build (Py_DEBUG); empty
# outside 3.7 to 3.15.
py_label() {
    "$1" -c 'import sys
if (3, 7) <= sys.version_info[:2] <= (3, 15):
    print("%d.%d%s" % (sys.version_info[:2] + ("d" if hasattr(sys, "gettotalrefcount") else "",)))'
}

# A fresh virtual environment with pip for interpreter $1 at $2 (nothing else
# installed; pip as it comes).
new_venv() {
    local py=$1 venv=$2 wheel
    if "$py" -c 'import ensurepip' 2>/dev/null; then
        "$py" -m venv "$venv" >&2
    else
        # Debian's interpreters come without ensurepip: pip comes from the
        # pip wheel unpacked beside them (scripts/sid-pythons)
        wheel=$(ls "$(dirname "$(readlink -f "$py")")"/../share/python-wheels/pip-*.whl 2>/dev/null | tail -1)
        [ -n "$wheel" ] || { echo "!!! $py has neither ensurepip nor a pip wheel" >&2; return 1; }
        "$py" -m venv --without-pip "$venv" >&2
        PYTHONWARNINGS=ignore "$venv/bin/python" "$wheel/pip" install -q --no-index "$wheel" >&2
    fi
}

# A virtual environment for interpreter $1 (version $2) with the test and
# build dependencies; prints its path.
make_venv() {
    local py=$1 ver=$2 venv="$PWD/.venv-$2"
    if [ ! -x "$venv/bin/python" ]; then
        new_venv "$py" "$venv" || return 1
    fi
    # (pip's own ResourceWarnings would fill a debug interpreter's output)
    PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q --upgrade pip setuptools wheel >&2
    PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q -r requirements-test.txt >&2
    echo "$venv"
}

# pytest's flags for every run are in pyproject.toml ([tool.pytest.ini_options]),
# which pytest finds from tests/ too.

# Debian's clang with its OpenMP runtime (the Cython consumers use OpenMP),
# installed with apt-get when missing (as root).
clang_works() {
    command -v clang++ >/dev/null &&
        echo '#include <omp.h>' | clang++ -fopenmp -x c++ -fsyntax-only - 2>/dev/null
}
ensure_clang() {
    clang_works && return 0
    if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
        echo "installing clang and libomp-dev with apt-get" >&2
        apt-get update -qq >&2 && apt-get install -y -qq clang libomp-dev >/dev/null
    fi
    clang_works || { echo "!!! clang++ with OpenMP not found (Debian packages clang, libomp-dev)" >&2; return 1; }
}
