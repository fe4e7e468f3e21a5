// node send-from-page.mjs PAGE_URL start|restart: signs in through the stand-in and sends the
// command as a person would; prints "sent <kind> at …", or else the page's status and exits 1.
import { launch, signIn, waitText } from "./browser.mjs";

const [address, kind] = process.argv.slice(2);
const browser = await launch(), page = await browser.newPage();
try {
    await page.goto(address);
    await signIn(page);
    await page.click(`#${kind}`);
    if (kind === "restart") await page.click("#confirm-restart");
    console.log(await waitText(page, "#status", new RegExp(`^sent ${kind} at `), 15000));
} catch (error) {
    console.log((await page.textContent("#status").catch(() => "")) || error.message);
    process.exitCode = 1;
}
await browser.close();
process.exit();
