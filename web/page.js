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
const askButtons = ["sign-in", "refresh"].map($);
const sendButtons = ["start", "restart", "confirm-restart"].map($);

let waiting = undefined; // the command in the cloud: undefined before the first lookup, null for none
let asking = 0; // requests on their way
let sending = false;
let sends = 0; // begun: a lookup begun before the last is older than what that send showed
let doubt = null; // the last command sent, while it is unknown whether it was saved
let offset = 0; // ms the service's clock is ahead of this device's
let waitUntil = 0;
let lastLookup = -Infinity;
let troubleShown = false;

const serviceNow = () => Date.now() + command.datingOffset(offset);
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

// One request to the service: its answer in the words of command.readAnswer. What it tells of
// the service's clock is learnt on the way.
async function ask(operation, body, token) {
    ++asking;
    render();
    const sentAt = Date.now();
    try {
        const response = await fetch(command.serviceAddress(settings, operation, token), {
            method: "POST", headers: { "Content-Type": "text/plain" }, body,
            signal: AbortSignal.timeout(command.requestTimeLimit),
            credentials: "omit", cache: "no-store", redirect: "error",
        });
        const renewed = response.headers.get("X-Apple-CloudKit-Web-Auth-Token") ??
            response.headers.get("X-Apple-CloudKit-Session");
        if (renewed && storedToken()) keepToken(renewed);
        const answer = command.readAnswer(response.status, ...await readLimited(response));
        offset = command.serviceOffset(offset, { json: answer.json, saved: operation === "modify", sentAt,
                                                 answeredAt: Date.now(), date: response.headers.get("Date") });
        return answer;
    } catch (error) {
        return { message: command.failureOf(error, settings.url), unknown: true };
    } finally {
        --asking;
    }
}

function trouble(error) {
    if (error.signedOut) forgetToken();
    if (error.wait) waitUntil = Date.now() + error.wait * 1000;
    say(error.message, true);
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

async function lookup(token) {
    const answer = await ask("lookup", command.lookupBody(), token);
    return answer.ok ? command.lookupResult(answer.json) : answer;
}

async function lookUp() {
    const token = storedToken();
    if (!token || asking || Date.now() < waitUntil) return;
    lastLookup = Date.now();
    const begun = sends;
    const found = await lookup(token);
    if (begun !== sends) return render();
    if (found.message) return trouble(found);
    if (doubt) return conclude(command.sendOutcome(doubt, found), doubt);
    waiting = found.command;
    if (troubleShown) say("");
    render();
}

async function save(kind, nonce) {
    const issuedAt = serviceNow();
    const answer = await ask("modify", command.saveBody(settings.recordType, kind, nonce, issuedAt), storedToken());
    return { ...answer.ok ? command.saveResult(answer.json, nonce) : answer, kind, nonce, issuedAt };
}

async function send(kind) {
    if (sending || Date.now() < waitUntil) return;
    sending = true;
    ++sends;
    say(`sending ${kind}…`);
    const nonce = doubt?.kind === kind ? doubt.nonce : command.nonceFromBytes(crypto.getRandomValues(new Uint8Array(8)));
    const dating = command.datingOffset(offset);
    let sent = await save(kind, nonce);
    // Its answer showed the command dated by a clock that is off: dated again, as the same command.
    if (sent.command && Math.abs(command.datingOffset(offset) - dating) > command.clockTolerance)
        sent = await save(kind, nonce);
    const found = sent.unknown ? await lookup(storedToken()) : null;
    sending = false;
    conclude(command.sendOutcome(sent, found), sent);
}

// What a send came to, or a lookup found of one in doubt.
function conclude(outcome, sent) {
    doubt = outcome.doubt ? sent : null;
    if (outcome.command !== undefined) waiting = outcome.command;
    if (outcome.message) return trouble(outcome);
    lastLookup = Date.now();
    say(`sent ${sent.kind} at ${command.clockOf(new Date(sent.issuedAt))}`);
    render();
}

function show(id, text) {
    $(`${id}-row`).hidden = text === null;
    $(id).textContent = text ?? "";
}

function render() {
    const now = serviceNow();
    const signedIn = storedToken() !== null;
    $("signed-out").hidden = signedIn;
    $("signed-in").hidden = !signedIn;
    $("sign-out").hidden = !signedIn;
    const wait = Math.ceil((waitUntil - Date.now()) / 1000);
    $("wait").hidden = wait <= 0;
    if (wait > 0) $("wait").textContent = `The service asks this page to wait: try again in ${wait} s.`;
    for (const button of askButtons) button.disabled = asking > 0 || wait > 0;
    for (const button of sendButtons) button.disabled = sending || wait > 0;
    const clock = command.clockNotice(offset);
    $("clock").hidden = clock === null;
    $("clock").textContent = clock ?? "";
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
