#!/usr/bin/env bash
# Lines of test code against lines of product code. Test code: every .cpp, .h,
# .py, .sh and CMake file under tests/ (data files are free); product code: the
# .cpp and .h files under app/ audio/ engine/ host/ patch/.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { find "$@" -type f | xargs cat 2>/dev/null | wc -l; }
tests=$(count tests \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.sh' -o -name CMakeLists.txt -o -name '*.cmake' \))
product=$(count app audio engine host patch \( -name '*.cpp' -o -name '*.h' \))
echo "test code:    $tests lines"
echo "product code: $product lines"
awk -v t="$tests" -v p="$product" 'BEGIN { printf "ratio:        %.1f %%\n", 100 * t / p }'
if [ "${1:-}" = -v ]; then
  for d in tests/*/; do printf '  %-22s %5d\n' "$d" "$(count "$d" \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.sh' -o -name CMakeLists.txt \))"; done
fi
