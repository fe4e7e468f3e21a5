// The tests' headless chromium and the stand-in of CloudKit's web services with the page built
// for it; shared by the tests and send-from-page.mjs.
import { chromium } from "playwright-core";
import { spawn, execFileSync } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";

export const launch = () => chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--headless", "--no-sandbox",
    "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking", "--disable-component-update",
    "--disable-sync"] }).catch((error) => {
    throw new Error(`can't start /usr/bin/chromium (scripts/install-deps installs it): ${error.message}`);
});

// Starts the stand-in on a scratch folder of its own and builds the page into it.
export async function standIn() {
    const program = process.env.DROVIX_STAND_IN;
    if (!program) throw new Error("DROVIX_STAND_IN must name the built drovix-cloud-stand-in");
    const folder = mkdtempSync(join(tmpdir(), "drovix-web-"));
    const child = spawn(program, ["--socket", join(folder, "service.sock"), "--page", join(folder, "page")],
                        { stdio: ["ignore", "pipe", "inherit"] });
    const lines = createInterface({ input: child.stdout })[Symbol.asyncIterator]();
    const [service, page] = [(await lines.next()).value, (await lines.next()).value].map((line) => line?.split(" ")[1]);
    if (!page) throw new Error(`${program} did not say where it serves`);
    const source = process.env.DROVIX_SOURCE_DIR ?? new URL("../..", import.meta.url).pathname;
    execFileSync("cmake", [`-DOUTPUT=${folder}/page`, "-DAPI_TOKEN=page-api-token", `-DURL=${service}`, "-DLOOPBACK=ON",
        "-DCONTAINER=iCloud.com.drovix.Drovix", "-DRECORD_TYPE=Command", "-P", join(source, "web/BuildPage.cmake")]);
    const control = async (path, body) =>
        (await fetch(`${service}/stand-in/${path}`, body === undefined ? {} : { method: "POST", body })).text();
    return { service, page, control, stop: () => (child.kill(), rmSync(folder, { recursive: true, force: true })) };
}

// Waits until the element's text matches, and says what it held instead when it never does.
export async function waitText(page, selector, pattern, timeout = 5000) {
    await page.waitForFunction(([s, p, f]) => new RegExp(p, f).test(document.querySelector(s).innerText),
                               [selector, pattern.source, pattern.flags], { timeout }).catch(async () => {
        throw new Error(`${selector} says ${JSON.stringify(await page.innerText(selector))}, not ${pattern}`);
    });
    return page.innerText(selector);
}

// Through the stand-in's sign-in and back, until the first lookup is answered.
export async function signIn(page) {
    await page.click("#sign-in");
    await waitText(page, "#meaning", /^(?!not looked up)/);
}
