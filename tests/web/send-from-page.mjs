// node send-from-page.mjs PAGE_URL start|restart: signs in through the stand-in and sends the
// command as a person would; prints "sent <kind> at …", or the page's status and exits 1.
import { launch, signIn, waitText } from "./browser.mjs";

const [address, kind] = process.argv.slice(2);
const browser = await launch();
const page = await browser.newPage();
let status = 1;
try {
    await page.goto(address);
    await signIn(page);
    await page.click(kind === "restart" ? "#restart" : "#start");
    if (kind === "restart") await page.click("#confirm-restart");
    console.log(await waitText(page, "#status", new RegExp(`^sent ${kind} at `), 15000));
    status = 0;
} catch (error) {
    console.log((await page.textContent("#status").catch(() => "")) || error.message);
}
await browser.close();
process.exit(status);
