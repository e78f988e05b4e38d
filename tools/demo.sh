#!/usr/bin/env bash
# Runs one of the programs' own code against the virtual kit inside the
# process: simulated sensors and actors on a simulated adapter, the lamps in
# a scratch folder. No board, no Bluetooth adapter, no root needed.
#
#   tools/demo.sh [DEMO] [--seconds N]
#
# DEMO is one of tools/demo/*_demo.cpp without the suffix (scanner, actors, ...);
# the first one listed below is the default. On a terminal it runs until
# Ctrl-C; otherwise (a pipe, CI) for OSL_DEMO_SECONDS seconds, 30 by default.
set -euo pipefail
cd "$(dirname "$0")/.."

# Shown first: the MQTT bridge, what an owner runs; then the smart-home
# program, the scanner.
demos=()
for preferred in mqtt home scanner actors; do
  [ -f "tools/demo/${preferred}_demo.cpp" ] && demos+=("$preferred")
done
for src in tools/demo/*_demo.cpp; do
  name=$(basename "$src" _demo.cpp)
  [[ " ${demos[*]} " == *" $name "* ]] || demos+=("$name")
done

demo=${demos[0]}
if [ $# -gt 0 ] && [[ "$1" != --* ]]; then
  demo=$1
  shift
fi
if [[ " ${demos[*]} " != *" $demo "* ]]; then
  echo "unknown demo '$demo'; there are: ${demos[*]}" >&2
  exit 2
fi

tools/deps.sh
# The same optimised build tree as tools/build.sh.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target "osl_demo_$demo"

args=("$@")
if ! { [ -t 0 ] && [ -t 1 ]; } && [[ " ${args[*]-} " != *" --seconds "* ]]; then
  args+=(--seconds "${OSL_DEMO_SECONDS:-30}")
fi
exec "build/tools/demo/osl_demo_$demo" "${args[@]}"
