// The command page: signs in, shows the command waiting in the cloud, sends start and restart.
// What things mean is decided in command.js; this module only asks the service and renders.
import settings from "./settings.js";
import * as command from "./command.js";

// The token leaves the address bar before anything else happens. It is taken only when this tab
// went to sign in and left its mark: a link can carry anyone's token.
const arrival = command.tokenFromAddress(location.href);
if (arrival.token !== null) history.replaceState(history.state, "", arrival.address);
const askedKey = "drovixRescue.signInAsked";
const asked = sessionStorage.getItem(askedKey) !== null;
sessionStorage.removeItem(askedKey);

const tokenKey = "drovixRescue.webAuthToken";
const keepKey = "drovixRescue.keepSignedIn";
const $ = (id) => document.getElementById(id);
const keep = $("keep");
const buttons = ["sign-in", "start", "restart", "refresh"].map($);

let waiting = undefined; // the command in the cloud: undefined before the first lookup, null for none
let busy = false;
let waitUntil = 0;
let lastLookup = -Infinity;
let troubleShown = false;

const storedToken = () => sessionStorage.getItem(tokenKey) ?? localStorage.getItem(tokenKey);

function keepToken(token) {
    const [kept, other] = keep.checked ? [localStorage, sessionStorage] : [sessionStorage, localStorage];
    kept.setItem(tokenKey, token);
    other.removeItem(tokenKey);
}

function forgetToken() {
    sessionStorage.removeItem(tokenKey);
    localStorage.removeItem(tokenKey);
    waiting = undefined;
}

function say(text, trouble = false) {
    $("status").textContent = text;
    troubleShown = trouble;
}

async function readLimited(response) {
    if (!response.body) return ["", false];
    const chunks = [];
    let size = 0;
    const reader = response.body.getReader();
    for (let part = await reader.read(); !part.done; part = await reader.read()) {
        size += part.value.byteLength;
        if (size > command.answerLimit) {
            reader.cancel();
            return ["", true];
        }
        chunks.push(part.value);
    }
    return [await new Blob(chunks).text(), false];
}

// One request to the service: its answer in the words of command.readAnswer.
async function ask(operation, body, token) {
    busy = true;
    render();
    try {
        const response = await fetch(command.serviceAddress(settings, operation, token), {
            method: "POST", headers: { "Content-Type": "text/plain" }, body,
            signal: AbortSignal.timeout(command.requestTimeLimit),
            credentials: "omit", cache: "no-store", redirect: "error",
        });
        const renewed = response.headers.get("X-Apple-CloudKit-Web-Auth-Token") ??
            response.headers.get("X-Apple-CloudKit-Session");
        if (renewed && storedToken()) keepToken(renewed);
        return command.readAnswer(response.status, ...await readLimited(response));
    } catch (error) {
        return { message: command.failureOf(error, settings.url) };
    } finally {
        busy = false;
    }
}

function trouble(error, prefix = "") {
    if (error.signedOut) forgetToken();
    if (error.wait) waitUntil = Date.now() + error.wait * 1000;
    say(prefix + error.message, true);
    render();
}

async function signIn() {
    sessionStorage.setItem(keepKey, keep.checked ? "1" : "0");
    const answer = await ask("lookup", command.lookupBody(), null);
    if (answer.redirectURL && command.signInAddressAllowed(answer.redirectURL, settings.loopback)) {
        say("taking you to Apple's sign-in page…");
        sessionStorage.setItem(askedKey, "1");
        location.assign(answer.redirectURL);
    } else if (answer.signedOut) {
        trouble({ message: "the service offered no sign-in page" });
    } else {
        trouble(answer.ok ? { message: "the service did not ask for a sign-in" } : answer);
    }
}

async function lookUp() {
    const token = storedToken();
    if (!token || busy || Date.now() < waitUntil) return;
    lastLookup = Date.now();
    const answer = await ask("lookup", command.lookupBody(), token);
    const found = answer.ok ? command.lookupResult(answer.json) : answer;
    if (found.message) return trouble(found);
    waiting = found.command;
    if (troubleShown) say("");
    render();
}

async function send(kind) {
    const nonce = command.nonceFromBytes(crypto.getRandomValues(new Uint8Array(8)));
    const issuedAt = Date.now();
    const body = command.saveBody(settings.recordType, kind, nonce, issuedAt);
    const answer = await ask("modify", body, storedToken());
    const saved = answer.ok ? command.saveResult(answer.json, nonce) : answer;
    if (saved.message) return trouble(saved, `${kind} not sent: `);
    waiting = saved.command;
    lastLookup = Date.now();
    say(`sent ${kind} at ${command.clockOf(new Date(issuedAt))}`);
    render();
}

function show(id, text) {
    $(`${id}-row`).hidden = text === null;
    $(id).textContent = text ?? "";
}

function render() {
    const now = Date.now();
    const signedIn = storedToken() !== null;
    $("signed-out").hidden = signedIn;
    $("signed-in").hidden = !signedIn;
    $("sign-out").hidden = !signedIn;
    const wait = Math.ceil((waitUntil - now) / 1000);
    $("wait").hidden = wait <= 0;
    if (wait > 0) $("wait").textContent = `The service asks this page to wait: try again in ${wait} s.`;
    for (const button of buttons) button.disabled = busy || wait > 0;
    const known = waiting ? waiting : {};
    show("kind", known.kind === undefined ? null : command.cut(known.kind));
    show("issued", known.issuedAt === undefined ? null :
        `${new Date(known.issuedAt).toLocaleString()} (${command.agoOf(known.issuedAt, now)})`);
    show("nonce", known.nonce === undefined ? null : command.cut(known.nonce.slice(0, 8)));
    $("meaning").textContent = waiting === undefined ? "not looked up yet" : command.meaningOf(waiting, now);
}

keep.checked = localStorage.getItem(tokenKey) !== null || sessionStorage.getItem(keepKey) === "1";
if (arrival.token !== null && asked) keepToken(arrival.token);
else if (arrival.token !== null) say(command.unaskedSignIn);

keep.addEventListener("change", () => {
    sessionStorage.setItem(keepKey, keep.checked ? "1" : "0");
    const token = storedToken();
    if (token) keepToken(token);
});
$("sign-in").addEventListener("click", signIn);
$("sign-out").addEventListener("click", () => {
    forgetToken();
    say("signed out");
    render();
});
$("refresh").addEventListener("click", lookUp);
$("start").addEventListener("click", () => send("start"));
$("restart").addEventListener("click", () => $("confirm").showModal());
$("confirm-cancel").addEventListener("click", () => $("confirm").close());
$("confirm-restart").addEventListener("click", () => {
    $("confirm").close();
    send("restart");
});
// Ages and the wait count down every second; the record is looked up again while the page is seen.
function tick() {
    render();
    if (document.visibilityState === "visible" && Date.now() - lastLookup >= command.refreshInterval)
        lookUp();
}
setInterval(tick, 1000);
document.addEventListener("visibilitychange", tick);
tick();
