#!/usr/bin/env bash
# Prints the non-blank lines of test sources (tests/ and fuzz/, CMake files
# included; no seed corpora, golden outputs or data fixtures) against those
# of the product's sources (every other top-level folder but bench/,
# scripts/, docs/, examples/ and cmake/), and their ratio. Printing only.
set -euo pipefail
cd "$(dirname "$0")/.."
sources='\.(cpp|h|hpp|c|cmake|sh|rc|def|map)$|(^|/)CMakeLists\.txt$'
count() { git ls-files -- "$@" | grep -E "$sources" | grep -vE '(^|/)(corpus|golden|data)/' |
          xargs -r cat | grep -c '[^[:space:]]' || true; }
tests=$(count tests fuzz)
folders=$(git ls-files | grep -vE '^(tests|fuzz|bench|scripts|docs|examples|cmake)/' | grep / | cut -d/ -f1 | sort -u)
# shellcheck disable=SC2086
product=$(count $folders)
awk -v t="$tests" -v p="$product" 'BEGIN { printf "test lines %d, product lines %d, ratio %.2f\n", t, p, p ? t / p : 0 }'
