#!/usr/bin/env bash
# Fails when a tracked C or C++ file differs from what clang-format makes of
# it with the tree's .clang-format. Fix with:
#   git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${FORMAT_PACKAGES[@]}"
git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run --Werror
echo "format check passed"
