#!/usr/bin/env bash
# The module exports its entry points and nothing else of ours.
set -eu
module=$1
shift
actual=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TDRBVW]$/ {print $3}' | sort)
expected=$(printf '%s\n' "$@" | sort)
if [ "$actual" != "$expected" ]; then
    echo "exports of $module:"; echo "$actual"
    echo "expected:"; echo "$expected"
    exit 1
fi
echo "exports: $(echo $actual)"
