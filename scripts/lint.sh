#!/usr/bin/env bash
# Holds the tree to its style: clang-format (.clang-format) would change no C++ file, and
# clang-tidy (the checks of .clang-tidy) finds nothing in src/. CI runs it; any finding fails.
# `cmake --build --preset default --target format` applies the format instead.
# Usage: scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --lint

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format-19 --dry-run --Werror "${sources[@]}"
echo "clang-format 19: ${#sources[@]} files as formatted"

# clang-tidy reads the compile commands of the default preset (and its include roots).
[ -f build/default/compile_commands.json ] || cmake --preset default > /dev/null
# GCC compiles the tree; clang 19 only reads it, with the C++ standard library that GCC uses.
mapfile -t units < <(git ls-files 'src/*.cpp')
printf '%s\n' "${units[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy-19 -p build/default --quiet --extra-arg=-std=c++2b \
    2> >(grep -v " warnings\? generated\.$" >&2)
echo "clang-tidy: ${#units[@]} files of src/, no finding"
