#!/usr/bin/env bash
# Builds and installs corvid into .venv, then runs the test suite.
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh" test
cd "$root"
"$python" -m pytest "$@"
