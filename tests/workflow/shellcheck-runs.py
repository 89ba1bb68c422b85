"""shellcheck on every bash `run:` block of the CI workflows. Steps without a
`shell` run in bash unless their job runs on Windows (GitHub's own default);
each block is checked as GitHub runs it, after `set -e`, with its ${{ }}
expressions, which shellcheck cannot read, put back as a plain word.

    python3 tests/workflow/shellcheck-runs.py .github/workflows/*.yml"""
import os
import re
import subprocess
import sys
import tempfile

import yaml


def on_windows(job):
    """Whether the job runs on Windows, naming it directly or in its matrix."""
    return "windows" in str(job.get("runs-on", "")) and (
        "matrix" not in str(job.get("runs-on")) or "windows" in str(job.get("strategy", {})))


def bash_blocks(path):
    """[(name, script)] for every bash run block in the workflow."""
    with open(path) as file:
        workflow = yaml.safe_load(file)
    default = workflow.get("defaults", {}).get("run", {}).get("shell")
    blocks = []
    for job_name, job in workflow.get("jobs", {}).items():
        job_default = job.get("defaults", {}).get("run", {}).get("shell", default)
        for index, step in enumerate(job.get("steps", [])):
            if "run" not in step:
                continue
            shell = step.get("shell", job_default) or ("pwsh" if on_windows(job) else "bash")
            if shell.split()[0] != "bash":
                continue
            name = f"{os.path.basename(path)}: {job_name}, step {index + 1} ({step.get('name', step['run'][:30])})"
            blocks.append((name, re.sub(r"\$\{\{.*?\}\}", "GITHUB_EXPRESSION", step["run"])))
    return blocks


def main(paths):
    failed = 0
    checked = 0
    with tempfile.TemporaryDirectory() as folder:
        for path in paths:
            for name, script in bash_blocks(path):
                checked += 1
                block = os.path.join(folder, "block.sh")
                with open(block, "w") as file:
                    file.write("#!/bin/bash\nset -e\n" + script)
                result = subprocess.run(["shellcheck", "-s", "bash", block], capture_output=True, text=True)
                if result.returncode != 0:
                    failed += 1
                    print(f"{name}:\n{result.stdout.replace(block, 'run')}")
    print(f"shellcheck: {checked} bash run blocks, {failed} with findings")
    return 1 if failed or not checked else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
