#!/usr/bin/env bash
# Prints how large the tests are against the code: non-blank lines of the
# .cpp .h .c .py .sh files under tests/ against those under src/ and tools/.
# Exits non-zero when the tests pass 35 % of the code.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.py' \
        -o -name '*.sh' \) -print0 | xargs -0 cat | grep -cv '^\s*$'
}
tests=$(count tests)
code=$(count src tools)
echo "tests: $tests lines, code: $code lines, ratio: $(awk -v t="$tests" -v c="$code" \
    'BEGIN { printf "%.1f", 100 * t / c }') %"
if [ $(( tests * 100 )) -gt $(( code * 35 )) ]; then
    echo "the tests are above 35 % of the code" >&2
    exit 1
fi
