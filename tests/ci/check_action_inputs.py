"""Checks every `with:` key of the project's workflows against the inputs the action declares,
for the major version the workflow pins. actionlint's own table of popular actions is older
than the majors used here (checkout@v5, upload-artifact@v6, download-artifact@v7), and it
passes a misspelled input of an action it does not know; this table does not.

Each row: the inputs of that action's action.yml at the pinned major's newest release. A new
action, or a new major, has no row until someone adds one from its action.yml: that fails too.
A workflow of this repository called as a job (`uses: ./.github/workflows/x.yml`) is checked
against its own `on: workflow_call: inputs:`.

Usage: check_action_inputs.py WORKFLOW...   (exit status 1 and a line per problem if any)
"""

import os
import sys

import yaml

ACTION_INPUTS = {
    # https://github.com/actions/checkout/blob/v5/action.yml
    "actions/checkout@v5": {
        "repository", "ref", "token", "ssh-key", "ssh-known-hosts", "ssh-strict", "ssh-user",
        "persist-credentials", "path", "clean", "filter", "sparse-checkout", "sparse-checkout-cone-mode",
        "fetch-depth", "fetch-tags", "show-progress", "lfs", "submodules", "set-safe-directory",
        "github-server-url"},
    # https://github.com/actions/upload-artifact/blob/v6/action.yml
    "actions/upload-artifact@v6": {
        "name", "path", "if-no-files-found", "retention-days", "compression-level", "overwrite",
        "include-hidden-files"},
    # https://github.com/actions/download-artifact/blob/v7/action.yml
    "actions/download-artifact@v7": {
        "name", "artifact-ids", "path", "pattern", "merge-multiple", "github-token", "repository", "run-id"},
    # https://github.com/actions/setup-python/blob/v6/action.yml
    "actions/setup-python@v6": {
        "python-version", "python-version-file", "cache", "architecture", "check-latest", "token",
        "cache-dependency-path", "update-environment", "allow-prereleases", "freethreaded", "pip-version",
        "pip-install"},
    # https://github.com/msys2/setup-msys2/blob/v2/action.yml
    "msys2/setup-msys2@v2": {
        "msystem", "path-type", "update", "install", "pacboy", "release", "location",
        "platform-check-severity", "cache"},
}


def load(path):
    with open(path, encoding="utf-8") as f:
        return yaml.safe_load(f)


REPOSITORY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def called_workflow_inputs(uses):
    """The inputs a workflow of this repository declares for its callers."""
    called = load(os.path.join(REPOSITORY, uses[2:]))
    # YAML 1.1 reads the key `on` as true.
    triggers = called.get("on", called.get(True)) or {}
    call = triggers.get("workflow_call") if isinstance(triggers, dict) else None
    return set(((call or {}).get("inputs") or {}).keys())


def problems(workflow_file):
    workflow = load(workflow_file)
    found = []
    for job_id, job in (workflow.get("jobs") or {}).items():
        users = [("job %s" % job_id, job)]
        users += [("job %s step %d" % (job_id, n + 1), step) for n, step in enumerate(job.get("steps") or [])]
        for where, user in users:
            uses = user.get("uses")
            if not uses or uses.startswith("docker://"):
                continue
            given = set((user.get("with") or {}).keys())
            if uses.startswith("./"):
                declared = called_workflow_inputs(uses) if uses.endswith((".yml", ".yaml")) else None
            else:
                declared = ACTION_INPUTS.get(uses)
            if declared is None:
                found.append("%s: %s: no table of its inputs (add one from its action.yml)" % (where, uses))
                continue
            for key in sorted(given - declared):
                found.append("%s: %s has no input %r" % (where, uses, key))
    return found


def main(files):
    failed = 0
    for workflow_file in files:
        found = problems(workflow_file)
        for problem in found:
            print("%s: %s" % (workflow_file, problem))
        print("%s %s" % ("FAILED" if found else "ok", workflow_file))
        failed += bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: check_action_inputs.py WORKFLOW...")
    sys.exit(main(sys.argv[1:]))
