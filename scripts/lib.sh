# Shared by the scripts: which interpreters to use and their environments.

# Every CPython from 3.7 to 3.13 on the machine: the newest patch release of
# each minor version under pyenv, plus python3 itself when its minor version is
# in that range and not among them.
pick_interpreters() {
    local root="${PYENV_ROOT:-$HOME/.pyenv}/versions" found=() seen=" " minor v p
    for minor in 7 8 9 10 11 12 13; do
        v=$(ls "$root" 2>/dev/null | grep -E "^3\.$minor\.[0-9]+$" | sort -V | tail -1 || true)
        if [ -n "$v" ] && [ -x "$root/$v/bin/python" ]; then
            found+=("$root/$v/bin/python")
            seen+="3.$minor "
        fi
    done
    if command -v python3 >/dev/null; then
        p=$(python3 -c 'import sys; print(sys.executable)')
        v=$("$p" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if (3, 7) <= sys.version_info[:2] <= (3, 13) else ""')
        case "$seen" in
            *" $v "*) ;;
            *) [ -n "$v" ] && found+=("$p") ;;
        esac
    fi
    printf '%s\n' "${found[@]}"
}

# A virtual environment for interpreter $1 (version $2) with the test and
# build dependencies; prints its path.
make_venv() {
    local py=$1 ver=$2 venv="$PWD/.venv-$2"
    if [ ! -x "$venv/bin/python" ]; then
        "$py" -m venv "$venv" >&2
    fi
    "$venv/bin/python" -m pip install -q --upgrade pip setuptools wheel >&2
    "$venv/bin/python" -m pip install -q -r requirements-test.txt >&2
    echo "$venv"
}

# pytest's flags for every run.  -p no:unraisableexception: the tests' own
# `unraisable` fixture (conftest.py) installs sys.unraisablehook, and pytest
# 8.3 (the newest for CPython 3.8) puts its own hook over it for the test
# body, so the fixture would see no report there.
PYTEST_FLAGS="-p no:cacheprovider -p no:unraisableexception"
