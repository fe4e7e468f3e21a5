// The command page and the writer's callback page in chromium, against the stand-in; the page's
// pure functions at their edges, in plain node.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import * as command from "../../web/command.js";
import { launch, standIn, waitText, signIn } from "./browser.mjs";

let browser, stand;
const seen = { origins: new Set(), types: new Set(), errors: [] };
before(async () => [browser, stand] = await Promise.all([launch(), standIn()]));
after(async () => (await browser?.close(), stand?.stop()));

// A fresh browser profile on the page, signed in unless told otherwise.
async function open({ signedIn = true, clock, ...options } = {}) {
    await stand.control("reset");
    const page = await (await browser.newContext(options)).newPage();
    page.on("request", (request) => seen.origins.add(new URL(request.url()).origin) &&
        request.url().includes("/database/") && seen.types.add(request.headers()["content-type"]));
    page.on("pageerror", (error) => seen.errors.push(error.message));
    page.on("console", (m) => m.type() === "error" && !m.text().startsWith("Failed to load resource") && seen.errors.push(m.text()));
    await clock?.(page.clock);
    await page.goto(stand.page);
    if (signedIn) await signIn(page);
    return page;
}
const requests = async () => JSON.parse(await stand.control("requests"));
const stored = (page) => page.evaluate(() => [sessionStorage, localStorage].map((s) => s.getItem("drovixRescue.webAuthToken")));
const record = (kind, nonce, issuedAt) => JSON.stringify({ recordName: "command", recordType: "Command", fields: {
    kind: { value: kind, type: "STRING" }, nonce: { value: nonce, type: "STRING" }, issuedAt: { value: issuedAt, type: "TIMESTAMP" } } });
const target = (operation, token) => `/database/1/iCloud.com.drovix.Drovix/production/private/records/${operation}` +
    `?ckAPIToken=page-api-token&ckWebAuthToken=${encodeURIComponent(token)}`;

test("signing in takes the token out of the address, keeps it where asked, and signing out forgets it; a link's token is ignored", async () => {
    const page = await open({ signedIn: false });
    for (const keep of [false, true]) {
        await page.setChecked("#keep", keep);
        await signIn(page);
        assert.equal(page.url(), stand.page);
        const [session, local] = await stored(page), token = keep ? local : session, lookup = (await requests()).at(-1);
        assert.deepEqual([keep ? session : local, lookup.target, lookup.body], [null, target("lookup", token),
            '{"records":[{"recordName":"command"}],"zoneID":{"zoneName":"_defaultZone"}}']);
        assert.match(token, /^signed\+in\d+\/t=$/);
        for (const [tab, kept] of [[page, [session, local]], [await (await browser.newContext()).newPage(), [null, null]]]) { // someone's link
            await tab.goto(`${stand.page}?ckWebAuthToken=someone`);
            assert.deepEqual([await waitText(tab, "#status", /^ignored/), tab.url(), await stored(tab)], [command.unaskedSignIn, stand.page, kept]);
        }
        await page.click("#sign-out");
        assert.deepEqual([await stored(page), await page.isVisible("#sign-in")], [[null, null], true]);
    }
});

test("the command waiting is shown in words at the page's clock, on a phone's width", async () => {
    const now = Date.UTC(2036, 0, 5, 12), nonce = "0123456789abcdef"; // ahead of the service: nothing it says puts this clock right
    const page = await open({ viewport: { width: 360, height: 740 }, clock: (clock) => clock.setFixedTime(now) });
    for (const [saved, shown] of [
        [record("start", nonce, now - 121_000), /\(2 min ago\)[^]*\nissued more than 120 s ago: no Mac will act on it$/],
        [record("start", nonce, now + 121_000), /\(in 2 min\)[^]*\ndated more than 120 s ahead of this clock: no Mac will act on it until then$/],
        [record("Start", nonce, now), /^Kind\nStart\n[^]*\na command for Drovix itself, which DrovixRescue leaves alone$/],
        [record("start", 7, now), /\nthe command record has no kind or nonce$/],
        ["", /^What it means now\nno command yet$/],
        [record("restart", nonce, now - 47_000), /^Kind\nrestart\nIssued\n.+ \(47 s ago\)\nNonce\n01234567\nWhat it means now\nfresh for another 73 s: a Mac running DrovixRescue acts on it within about 10 s, or 50 s while Drovix runs$/],
    ]) {
        await stand.control("record", saved);
        await page.click("#refresh");
        await waitText(page, "#signed-in dl", shown);
    }
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= document.documentElement.clientWidth));
    if (process.env.DROVIX_WEB_SCREENSHOT) await page.screenshot({ path: process.env.DROVIX_WEB_SCREENSHOT, fullPage: true });
});

test("start and restart save the command, restart only once confirmed; from a clock 5 min ahead, dated again by iCloud's", async () => {
    const page = await open();
    const [token] = await stored(page), nonces = [];
    for (const kind of ["start", "restart"]) {
        if (kind === "start") await page.click("#start");
        else {
            await page.clock.setFixedTime(Date.now() + 300_000);
            await page.press("#restart", "Enter");
            assert.match(await page.textContent("#confirm[open]"), /asked to quit and, after ten seconds, made to\s+quit, so unsaved\s+work in it can be lost/);
            await page.keyboard.press("Escape");
            assert.ok(!(await requests()).some((r) => r.body.includes('"restart"')));
            for (const key of ["Enter", "Shift+Tab", "Enter"]) await page.keyboard.press(key); // Cancel has the focus
        }
        await waitText(page, "#status", new RegExp(`^sent ${kind} at \\d\\d:\\d\\d:\\d\\d$`));
        const [before, sent] = (await requests()).slice(-2);
        const { nonce, issuedAt } = JSON.parse(sent.body).operations[0].record.fields;
        assert.deepEqual([sent.target, sent.body], [target("modify", token), `{"operations":[{"operationType":"forceReplace","record":{"recordName":"command","recordType":"Command","fields":{"kind":{"value":"${kind}","type":"STRING"},"nonce":{"value":"${nonce.value}","type":"STRING"},"issuedAt":{"value":${issuedAt.value},"type":"TIMESTAMP"}}}}],"zoneID":{"zoneName":"_defaultZone"}}`]);
        assert.ok(/^[0-9a-f]{16}$/.test(nonce.value) && Math.abs(issuedAt.value - Date.now()) < 2000, sent.body);
        nonces.push(nonce.value);
        const first = JSON.parse(before.body).operations?.[0].record.fields; // for restart: dated 5 min ahead, then again
        if (kind === "restart") assert.deepEqual([first.nonce.value, Math.round((first.issuedAt.value - issuedAt.value) / 60_000)], [nonce.value, 5]);
    }
    assert.notEqual(nonces[0], nonces[1]);
    await waitText(page, "#clock", /^this device's clock is (4 min 59|5 min 0) s ahead of iCloud's: commands are dated by iCloud's clock$/);
    await waitText(page, "#signed-in dl", /\(0 s ago\)[^]*\nfresh for another/);
});

test("a token renewed in any answer replaces the stored one", async () => {
    const page = await open();
    for (const [status, headers, renewed] of [[200, "X-Apple-CloudKit-Session: renewed+1/a=", "renewed+1/a="],
            [200, "X-Apple-CloudKit-Web-Auth-Token: renewed+2/b=", "renewed+2/b="],
            [500, "X-Apple-CloudKit-Session: other+3\r\nX-Apple-CloudKit-Web-Auth-Token: renewed+3/c=", "renewed+3/c="]]) {
        await stand.control("next", `${status}\r\n${headers}\r\n\r\n{"records":[{"recordName":"command","serverErrorCode":"NOT_FOUND"}]}`);
        await page.click("#refresh");
        await page.waitForFunction((t) => sessionStorage.getItem("drovixRescue.webAuthToken") === t, renewed);
        await page.click("#refresh");
        await page.waitForFunction(() => !document.querySelector("#refresh").disabled);
        assert.equal((await requests()).at(-1).target, target("lookup", renewed));
    }
});

test("what goes wrong is said in words, a save whose answer is lost as what the record shows, and the service's text is only ever text", async () => {
    const page = await open();
    const json = (status, fields) => `${status}\r\nContent-Type: application/json\r\n\r\n${JSON.stringify(fields)}`;
    const markup = "<img src=x onerror=window.ran=1><script>window.ran=2</script>";
    for (const [replies, button, said] of [ // "?then=…": the service carries the request out, and its answer ends so
        [json(403, { serverErrorCode: "ACCESS_DENIED", reason: "x" }), "#refresh", /^iCloud refused access to your data: with Advanced Data Protection on, turn on "Access iCloud Data on the Web" in the iCloud settings of your iPhone, iPad or Mac$/],
        ["?then=cut", "#start", /^sent start at \d\d:\d\d:\d\d$/],
        [["502\r\n\r\n", "?then=cut"], "#start", /^start may have been sent: check drovix-command status before sending again$/],
        [[], "#start", /^sent start at/],
        ["502\r\nContent-Type: text/html\r\n\r\n<html><body>Bad gateway</body></html>", "#start", /^start not sent: HTTP 502$/],
        ["200\r\n\r\nnot json", "#refresh", /^the service's answer is not JSON$/],
        [`200\r\n\r\n{"records":[],"pad":"${"x".repeat(70_000)}"}`, "#refresh", /^the service's answer is larger than 64 KiB$/],
        [json(500, { serverErrorCode: "INTERNAL_ERROR", reason: markup + "y".repeat(300) }), "#refresh", /^INTERNAL_ERROR: <img src=x onerror=window\.ran=1><script>window\.ran=2<\/script>y{123}…$/],
        [null, "#refresh", /^can't reach the service at 127\.0\.0\.1:\d+: is this device online\?$/],
        [json(401, { serverErrorCode: "AUTHENTICATION_REQUIRED", reason: "x" }), "#refresh", /^your session has ended: sign in again to see and send commands$/],
    ]) {
        for (const reply of [replies].flat()) await (reply === null ? page.route(`${stand.service}/**`, (route) => route.abort())
            : stand.control(`next${reply.startsWith("?") ? reply : ""}`, reply.startsWith("?") ? "" : reply));
        await page.click(button);
        await waitText(page, "#status", said);
        await page.unrouteAll();
    }
    const nonces = (await requests()).filter((r) => r.target.includes("/modify?")).map((r) => r.body.match(/"nonce":\{"value":"(\w+)"/)[1]);
    assert.deepEqual(nonces.map((nonce) => nonces.indexOf(nonce)), [0, 1, 1, 3]); // sent again after a doubt: the same command
    assert.deepEqual(await page.evaluate(() => [window.ran, document.images.length]), [undefined, 1]);
    assert.deepEqual([await page.isVisible("#sign-in"), await stored(page)], [true, [null, null]]);
});

test("a throttled page waits, counting down, before it asks or sends again", async () => {
    const page = await open({ clock: (clock) => clock.install() });
    await stand.control("next", '429\r\n\r\n{"serverErrorCode":"THROTTLED","reason":"slow down","retryAfter":3}');
    await page.click("#start");
    await waitText(page, "#status", /^start not sent: THROTTLED: slow down$/);
    const state = async () => [await page.isVisible("#wait") && await page.textContent("#wait"),
                               await page.$$eval("#signed-in button, #confirm-restart", (all) => all.map((b) => b.disabled).join())];
    assert.deepEqual(await state(), ["The service asks this page to wait: try again in 3 s.", "true,true,true,true"]);
    assert.match((await requests()).at(-1).target, /\/modify\?/);
    await page.clock.runFor(4000);
    assert.deepEqual(await state(), [false, "false,false,false,false"]);
});

test("no send button is enabled while a send is on its way, and a lookup begun before it does not overwrite what it showed", async () => {
    const page = await open();
    for (const delays of [[200, 800], [800, 200]]) { // ms the lookup's answer, then the save's, is held back
        await stand.control("record", record("restart", "older", Date.now()));
        for (const delay of delays) await stand.control(`next?delay=${delay}`, "");
        await page.click("#refresh");
        await page.evaluate(() => { // counts the send buttons enabled at every change while it says "sending"
            window.enabled = "";
            new MutationObserver(() => /^sending/.test(document.querySelector("#status").textContent) && (window.enabled += document
                .querySelectorAll("#start:enabled, #restart:enabled, #confirm-restart:enabled").length))
                .observe(document.body, { subtree: true, childList: true, attributes: true, characterData: true });
            document.querySelector("#start").click();
        });
        await waitText(page, "#status", /^sent start at/);
        await page.waitForFunction(() => !document.querySelector("#refresh").disabled);
        const { nonce } = JSON.parse((await requests()).at(-1).body).operations[0].record.fields;
        await waitText(page, "#signed-in dl", new RegExp(`^Kind\\nstart\\n[^]*\\nNonce\\n${nonce.value.slice(0, 8)}\\n`));
        assert.match(await page.evaluate(() => window.enabled), /^0+$/);
    }
});

test("the writer's callback page shows the token to copy", async () => {
    const page = await (await browser.newContext({ permissions: ["clipboard-read", "clipboard-write"] })).newPage();
    for (const address of ["?ckWebAuthToken=a+b/c%3D", "#ckSession=a%2Bb/c=", "?ckSession=a%2bb%2Fc%3d&x=1", "#ckWebAuthToken=a+b/c="]) {
        await page.goto("about:blank"); // not a move within the page, from which no script runs
        await page.goto(`${stand.page}callback.html${address}`);
        await waitText(page, "#token", /^a\+b\/c=$/);
        assert.equal(page.url(), `${stand.page}callback.html${address.includes("x=1") ? "?x=1" : ""}`);
        await page.click("#copy");
        await waitText(page, "#status", /^copied/);
        assert.equal(await page.evaluate(() => navigator.clipboard.readText()), "a+b/c=");
    }
    assert.deepEqual([[...seen.origins].sort(), [...seen.types], seen.errors],
                     [[stand.page.slice(0, -1), stand.service].sort(), ["text/plain"], []]);
});


test("freshness counts 120 s either side of the clock, both ends included; the service's answers in words; the sign-in page is Apple's or, in a loopback build, the stand-in's", () => {
    const now = 1_800_000_000_000, meaning = (fields) => command.meaningOf(command.commandOf({ fields }), now);
    for (const [age, said] of [[120, /^fresh for another 0 s/], [120.001, /^issued more than/], [0.5, /^fresh for another 119 s/],
                               [-120, /^fresh for another 240 s/], [-120.001, /^dated more than 120 s ahead/]])
        assert.match(meaning({ kind: { value: "start" }, nonce: { value: "n" }, issuedAt: { value: now - age * 1000 } }), said);
    assert.match(meaning({ kind: { value: "start" }, nonce: { value: "n" }, issuedAt: { value: "1" } }), /no issue time/);
    const error = (status, fields) => command.readAnswer(status, JSON.stringify(fields), false);
    for (const [answer, expected] of [
        [error(429, { serverErrorCode: "THROTTLED" }), { message: "THROTTLED", wait: 30 }],
        [error(503, { serverErrorCode: "TRY_AGAIN_LATER", reason: "later", retryAfter: 99999 }), { message: "TRY_AGAIN_LATER: later", wait: 3600, unknown: true }],
        [error(421, { serverErrorCode: "AUTHENTICATION_FAILED", redirectURL: "https://x" }),
         { message: "your session has ended: sign in again to see and send commands", signedOut: true, redirectURL: "https://x" }],
        [error(500, { reason: "no code" }), { message: "HTTP 500", unknown: true }],
        [error(200, "text"), { message: "the service's answer is not JSON", unknown: true }],
        [{ message: command.failureOf(new DOMException("", "TimeoutError"), "https://h") }, { message: "no answer from the service within 60 s" }],
    ]) assert.deepEqual(answer, expected);
    for (const [address, loopback, allowed] of [["https://idmsa.apple.com/x", false, true], ["http://127.0.0.1:9/", true, true],
            ["http://127.0.0.1:9/", false, false], ["http://localhost:9/", true, false], ["javascript:alert(1)", true, false]])
        assert.equal(command.signInAddressAllowed(address, loopback), allowed, address);
});
