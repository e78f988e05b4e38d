#!/usr/bin/env bash
# The style and static checks, as tools/test.sh runs them:
#   clang-format  every C and C++ source the repository tracks must be
#                 formatted as .clang-format says (a folder may opt out with
#                 a .clang-format of its own, as the kernel module does)
#   clang-tidy    the checks of .clang-tidy over the library, the programs,
#                 the example and the tools, with the compile commands of a
#                 build (default build-test; give another as the argument)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-test}

echo "== clang-format"
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

echo "== clang-tidy"
if [ ! -f "$build/compile_commands.json" ]; then
  echo "lint: $build/compile_commands.json missing: configure that build first" >&2
  exit 2
fi
status=0
git ls-files -z 'lib/*.cpp' 'apps/*.cpp' 'examples/*.cpp' 'tools/*.cpp' 'sim/*.cpp' |
  xargs -0 -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet > "$build/clang-tidy.log" 2>&1 ||
  status=$?
if [ "$status" -ne 0 ]; then
  grep -v '^[0-9]* warnings\? generated\.$' "$build/clang-tidy.log" >&2 || true
  echo "lint: clang-tidy found faults (above)" >&2
  exit 1
fi
echo "lint: clean"
