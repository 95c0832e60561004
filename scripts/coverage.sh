#!/usr/bin/env bash
# Builds with coverage, runs every test and reports the line and branch
# coverage of src/ (summary here, details in build/coverage/coverage.html).
# Needs gcovr (Debian package gcovr).
set -euo pipefail
cd "$(dirname "$0")/.."
find build/coverage -name '*.gcda' -delete 2>/dev/null || true
cmake --workflow --preset coverage
# Only this build tree is searched: other trees hold data for the same sources.
gcovr --root . --filter 'src/' --object-directory build/coverage \
    --exclude-throw-branches --exclude-unreachable-branches \
    --html-details build/coverage/coverage.html --print-summary build/coverage
