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
problems = list(pasted)

# The pilot's decided shape: when it runs, on which runtime, and what passes.
if sys.argv[1].endswith("pilot.yml"):
    on = workflow.get("on", workflow.get(True))  # YAML 1.1 reads a bare `on` as true
    steps = [step for job in workflow["jobs"].values() for step in job.get("steps", [])]
    scripts = [step.get("run", "") for step in steps]
    current = {"actions/checkout": "v6", "actions/upload-artifact": "v7", "actions/download-artifact": "v8"}
    arm = [name for name, job in workflow["jobs"].items() if job.get("runs-on") == "windows-11-arm"]
    checks = {
        "runs on pushes to main, pull requests and by hand, not for docs/ alone":
            on["push"] == {"branches": ["main"], "paths-ignore": ["docs/**"]}
            and on["pull_request"] == {"paths-ignore": ["docs/**"]} and "workflow_dispatch" in on,
        "a newer run of the same ref cancels the older": workflow.get("concurrency", {}).get("cancel-in-progress") is True,
        "actions at their current majors, uploads that a re-run may repeat": all(
            step["uses"].split("@")[1] == current[step["uses"].split("@")[0]]
            and (not step["uses"].startswith("actions/upload-artifact") or step["with"].get("overwrite") is True)
            for step in steps if "uses" in step),
        "the Arm runner only where the repository is public": len(arm) == 1
            and "!github.event.repository.private" in workflow["jobs"][arm[0]].get("if", ""),
        "each kit run passes only on its closing line": all(
            "passed, 0 failed" in script for script in scripts if "remediate-pilot-" in script),
        "a task never started is told from one still running": all(
            word in "".join(scripts) for word in ("0x41301", "0x41325", "Test-Path", "LastRunTime")),
        "no secedit": not any("secedit" in script for script in scripts),
    }
    for what, held in checks.items():
        if not held:
            print(f"FAIL {sys.argv[1]}: not so: {what}")
            problems.append(what)
sys.exit(1 if problems else 0)
PY
        status=1
    fi
done
exit $status
