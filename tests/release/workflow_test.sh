#!/usr/bin/env bash
# The GitHub workflows are valid as GitHub reads them, checked offline with
# the action-validator from the npm registry, installed into the work folder;
# and what a person types into a manual run reaches a script only through the
# environment: an expression of inputs pasted into a script's text would run
# whatever commands the text holds.
# Usage: workflow_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1
work=$2
validator=$work/node_modules/.bin/action-validator
if [[ ! -x $validator ]]; then
    # --prefix sets aside npm's global configuration, and with it any CA file
    # named there: npm trusts the authorities this machine trusts, for any user.
    if [[ -z ${NODE_EXTRA_CA_CERTS:-} && -f /etc/ssl/certs/ca-certificates.crt ]]; then
        export NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt
    fi
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
    if ! /usr/bin/python3 - "$workflow" <<'PY'; then
import re
import sys

import yaml

with open(sys.argv[1], encoding="utf-8") as text:
    workflow = yaml.safe_load(text)
pasted = [f"{name}: {step.get('name', step.get('uses', '?'))}"
          for name, job in workflow["jobs"].items() for step in job.get("steps", [])
          if re.search(r"\$\{\{[^}]*\b(inputs|github\.event)\b", step.get("run", ""))]
for place in pasted:
    print(f"FAIL {sys.argv[1]}: the script of {place} pastes a value a person typed")
sys.exit(1 if pasted else 0)
PY
        status=1
    fi
done
exit $status
