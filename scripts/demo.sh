#!/usr/bin/env bash
# Builds and installs corvid into .venv, then runs the demo (arguments go to `corvid demo`).
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh" plot,mesh,geo
cd "$root"
"$python" -m corvid demo "$@"
