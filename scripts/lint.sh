#!/usr/bin/env bash
# Holds the tree to its style: clang-format (.clang-format) would change no C++ file,
# clang-tidy (the checks of .clang-tidy) finds nothing in src/, shellcheck finds no warning in
# any shell script (each tracked file named *.sh or starting with a shell's #!, the maintainer
# scripts and .ci/run among them), and pyflakes nothing in any Python file. CI runs it; any
# finding fails.
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

# Every shell script of the tree: by name, or by its first line.
mapfile -t scripts < <(git ls-files | while read -r file; do
  case $file in
    *.sh) echo "$file" ;;
    *) [ -f "$file" ] && head -n1 "$file" | grep -Eq '^#!(/usr)?/bin/(env )?(ba)?sh' && echo "$file" ;;
  esac
done)
shellcheck --severity=warning --external-sources "${scripts[@]}"
echo "shellcheck: ${#scripts[@]} shell scripts, no warning"
mapfile -t python < <(git ls-files '*.py')
pyflakes3 "${python[@]}"
echo "pyflakes: ${#python[@]} Python files, no finding"
