# Shared by the scripts: which interpreters to use and their environments.

# CPython 3.7 and the newest 3.x up to 3.13 under pyenv, plus python3 itself.
pick_interpreters() {
    local root="${PYENV_ROOT:-$HOME/.pyenv}/versions" found=() v p
    for pattern in '^3\.7\.[0-9]+$' '^3\.(8|9|1[0-3])\.[0-9]+$'; do
        v=$(ls "$root" 2>/dev/null | grep -E "$pattern" | sort -V | tail -1 || true)
        [ -n "$v" ] && [ -x "$root/$v/bin/python" ] && found+=("$root/$v/bin/python")
    done
    if command -v python3 >/dev/null; then
        p=$(python3 -c 'import sys; print(sys.executable)')
        local dv seen=0
        dv=$("$p" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
        for v in "${found[@]}"; do
            [ "$("$v" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$dv" ] && seen=1
        done
        [ $seen = 0 ] && found+=("$p")
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
