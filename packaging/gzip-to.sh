#!/bin/sh
# gzip-to.sh OUT IN [FILTER ...]: FILTER (cat without one) reads IN, and its
# output goes gzipped to OUT, at the best compression and without a name or
# time inside, so the same input gives the same file every time. OUT is
# left alone on failure.
set -e
[ $# -ge 2 ] || { echo "usage: $0 OUT IN [FILTER ...]" >&2; exit 2; }
out=$1
in=$2
shift 2
[ $# -gt 0 ] || set -- cat
"$@" < "$in" > "$out.tmp" || { rm -f "$out.tmp"; exit 1; }
gzip -9n < "$out.tmp" > "$out.gz.tmp"
rm -f "$out.tmp"
mv "$out.gz.tmp" "$out"
