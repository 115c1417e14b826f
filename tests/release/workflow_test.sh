#!/usr/bin/env bash
# The GitHub workflows are valid as GitHub reads them, checked offline with
# the action-validator from the npm registry, installed into the work folder.
# Usage: workflow_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1
work=$2
validator=$work/node_modules/.bin/action-validator
if [[ ! -x $validator ]]; then
    mkdir -p "$work"
    npm install --prefix "$work" --no-audit --no-fund --loglevel=error @action-validator/cli >/dev/null
fi
status=0
for workflow in "$source_dir"/.github/workflows/*.yml; do
    if "$validator" "$workflow"; then
        echo "ok $(basename "$workflow")"
    else
        echo "FAIL $workflow is not a valid workflow"
        status=1
    fi
done
exit $status
