# Sourced by the other scripts: creates or reuses .venv (CPython 3.12 when installed,
# otherwise python3 >= 3.11) and installs corvid with the given extras into it.
# CORVID_VENV and CORVID_PYTHON choose another environment and interpreter;
# CORVID_BUILD_DIR another CMake build directory.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${CORVID_VENV:-$root/.venv}"

pick_python() {
    local candidate
    if [ -n "${CORVID_PYTHON:-}" ]; then echo "$CORVID_PYTHON"; return; fi
    if command -v pyenv >/dev/null 2>&1; then
        for candidate in "$(pyenv root)"/versions/3.12*/bin/python3.12; do
            [ -x "$candidate" ] && { echo "$candidate"; return; }
        done
    fi
    for candidate in python3.12 python3; do
        if command -v "$candidate" >/dev/null 2>&1 &&
           "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
            command -v "$candidate"; return
        fi
    done
    echo "corvid needs CPython 3.11 or newer (3.12 preferred)" >&2
    exit 1
}

if [ ! -x "$venv/bin/python" ]; then
    "$(pick_python)" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
extras="${1:-}"
# CORVID_EDITABLE=1 makes an editable install instead.
"$venv/bin/python" -m pip install --quiet \
    ${CORVID_BUILD_DIR:+--config-settings=build-dir=$CORVID_BUILD_DIR} \
    ${CORVID_EDITABLE:+--editable} "$root${extras:+[$extras]}"
python="$venv/bin/python"
