// What the page says and sends, as pure functions of their inputs: the record and its freshness,
// the service's answers in words, what a save whose answer was lost came to, the service's clock,
// the token in an address, the requests' bodies. The page's module renders what these return; the
// tests call them directly.

export const freshWindow = 120; // seconds either side of the clock, as the agent counts
export const textLimit = 200; // characters of the service's text shown
export const answerLimit = 64 * 1024; // bytes
export const requestTimeLimit = 60_000; // ms, the time CloudKit on a Mac waits for data
export const refreshInterval = 15_000; // ms
export const retryAfterLimit = 3600; // s
const throttledWait = 30; // s, when THROTTLED says not how long
export const clockTolerance = 2000; // ms this device's clock may be off before commands are dated by the service's
const clockNoticeAt = 30_000; // ms off, from which the page says so
const zone = { zoneName: "_defaultZone" };

export const cut = (text) => {
    const chars = Array.from(String(text));
    return chars.length > textLimit ? chars.slice(0, textLimit).join("") + "…" : chars.join("");
};

// The address a request goes to. The token only ever travels here, to the service.
export function serviceAddress(settings, operation, token) {
    let address = `${settings.url}/database/1/${settings.container}/${settings.environment}` +
        `/private/records/${operation}?ckAPIToken=${settings.apiToken}`;
    if (token) address += `&ckWebAuthToken=${encodeURIComponent(token)}`;
    return address;
}

export const lookupBody = () => JSON.stringify({ records: [{ recordName: "command" }], zoneID: zone });

export function saveBody(recordType, kind, nonce, issuedAt) {
    const fields = {
        kind: { value: kind, type: "STRING" },
        nonce: { value: nonce, type: "STRING" },
        issuedAt: { value: issuedAt, type: "TIMESTAMP" },
    };
    return JSON.stringify({
        operations: [{ operationType: "forceReplace",
                       record: { recordName: "command", recordType, fields } }],
        zoneID: zone,
    });
}

export const nonceFromBytes = (bytes) =>
    Array.from(bytes, (byte) => byte.toString(16).padStart(2, "0")).join("");

// The sign-in token that the service's redirect leaves in the query or the fragment, and the
// address without it. Apple leaves a "+" unencoded in it, which form decoding turns into a space.
export function tokenFromAddress(href) {
    const address = new URL(href);
    const fragment = new URLSearchParams(address.hash.slice(1));
    const names = ["ckWebAuthToken", "ckSession"];
    const token = [address.searchParams, fragment].flatMap((params) => names.map((name) => params.get(name)))
        .find(Boolean);
    if (!token) return { token: null, address: href };
    for (const name of names) address.searchParams.delete(name);
    if (names.some((name) => fragment.has(name))) {
        for (const name of names) fragment.delete(name);
        address.hash = fragment.toString();
    }
    return { token: token.replaceAll(" ", "+"), address: address.href };
}

// Where the sign-in button may send the browser: Apple's https page, or the stand-in's in a
// build for tests.
export function signInAddressAllowed(address, loopback) {
    try {
        const url = new URL(address);
        return url.protocol === "https:" ||
            (loopback && url.protocol === "http:" && url.hostname === "127.0.0.1");
    } catch {
        return false;
    }
}

const fieldValue = (fields, name, type) => {
    const value = fields?.[name]?.value;
    return typeof value === type && (type !== "number" || Number.isFinite(value)) ? value : undefined;
};

// A record as the service gives it: {kind, nonce, issuedAt}, each undefined when missing or of
// another type.
export const commandOf = (record) => ({
    kind: fieldValue(record?.fields, "kind", "string"),
    nonce: fieldValue(record?.fields, "nonce", "string"),
    issuedAt: fieldValue(record?.fields, "issuedAt", "number"),
});

// What the command waiting in the cloud means at now (ms), in words.
export function meaningOf(command, now) {
    if (!command) return "no command yet";
    const { kind, nonce, issuedAt } = command;
    if (kind === undefined || nonce === undefined) return "the command record has no kind or nonce";
    if (kind !== "start" && kind !== "restart")
        return "a command for Drovix itself, which DrovixRescue leaves alone";
    if (issuedAt === undefined) return "the command has no issue time: no Mac will act on it";
    const age = (now - issuedAt) / 1000;
    if (age > freshWindow) return `issued more than ${freshWindow} s ago: no Mac will act on it`;
    if (age < -freshWindow)
        return `dated more than ${freshWindow} s ahead of this clock: no Mac will act on it until then`;
    return `fresh for another ${Math.floor(freshWindow - age)} s: a Mac running DrovixRescue acts ` +
        "on it within about 10 s, or 50 s while Drovix runs";
}

export function agoOf(then, now) {
    const seconds = Math.round((now - then) / 1000);
    const size = Math.abs(seconds);
    const [amount, unit] = size < 60 ? [size, "s"] : size < 3600 ? [Math.floor(size / 60), "min"]
        : size < 86400 ? [Math.floor(size / 3600), "h"] : [Math.floor(size / 86400), "d"];
    return seconds < 0 ? `in ${amount} ${unit}` : `${amount} ${unit} ago`;
}

export const clockOf = (date) =>
    [date.getHours(), date.getMinutes(), date.getSeconds()].map((n) => String(n).padStart(2, "0")).join(":");

// An answer in words: {ok, json} for a 2xx JSON answer; otherwise {message}, with signedOut when
// the session has ended, wait (seconds) when the service asks the page to wait, and unknown when
// the request may have been carried out all the same: only a 4xx refuses it for sure.
export function readAnswer(status, text, tooLarge) {
    const ok = status >= 200 && status < 300;
    const unknown = ok || status >= 500 ? { unknown: true } : {};
    if (tooLarge) return { message: `the service's answer is larger than ${answerLimit / 1024} KiB`, ...unknown };
    let json;
    try {
        json = JSON.parse(text);
    } catch {
        return { message: ok ? "the service's answer is not JSON" : `HTTP ${status}`, ...unknown };
    }
    if (ok) return json && typeof json === "object" ? { ok: true, json } :
        { message: "the service's answer is not JSON", ...unknown };
    return { ...serverError(json) ?? { message: `HTTP ${status}` }, ...unknown };
}

// The words for a serverErrorCode, of an answer or of one record in it; null when there is none.
export function serverError(json) {
    const code = json?.serverErrorCode;
    if (typeof code !== "string") return null;
    const reason = typeof json.reason === "string" ? json.reason : "";
    const error = { message: cut(reason ? `${code}: ${reason}` : code) };
    if (code === "AUTHENTICATION_REQUIRED" || code === "AUTHENTICATION_FAILED") {
        error.signedOut = true;
        error.message = "your session has ended: sign in again to see and send commands";
    } else if (code === "ACCESS_DENIED") {
        error.message = "iCloud refused access to your data: with Advanced Data Protection on, turn on " +
            "\"Access iCloud Data on the Web\" in the iCloud settings of your iPhone, iPad or Mac";
    }
    const retryAfter = Number(json.retryAfter);
    if (json.retryAfter !== undefined && Number.isFinite(retryAfter) && retryAfter > 0)
        error.wait = Math.min(Math.ceil(retryAfter), retryAfterLimit);
    else if (code === "THROTTLED") error.wait = throttledWait;
    if (typeof json.redirectURL === "string") error.redirectURL = json.redirectURL;
    return error;
}

export function failureOf(error, url) {
    if (error?.name === "TimeoutError")
        return `no answer from the service within ${requestTimeLimit / 1000} s`;
    return `can't reach the service at ${new URL(url).host}: is this device online?`;
}

// The lookup's answer: {command} (null for no record yet) or an error as serverError gives it.
export function lookupResult(json) {
    const record = Array.isArray(json?.records) ? json.records[0] : undefined;
    if (!record || typeof record !== "object") return { message: "the service's answer holds no record" };
    if (record.serverErrorCode === "NOT_FOUND") return { command: null };
    return serverError(record) ?? { command: commandOf(record) };
}

// The save's answer: it counts only when the service gives back the record just sent; the
// record's own error refuses it.
export function saveResult(json, nonce) {
    const found = lookupResult(json);
    if (found.command?.nonce === nonce) return found;
    if (found.message) return found;
    return { message: "the service did not answer with the command sent", unknown: true };
}

// What a send came to: sent is the save's result with its {kind, nonce, issuedAt}; when that
// leaves it unknown whether the command was saved, found is the record looked up after it. Sent
// when the record is that command, not sent when it holds another; and when the lookup failed, or
// the record holds the nonce at another issue time (saved before, the answer lost or the clock
// off), it may have been sent: doubt, and sending that kind again reuses the nonce.
export function sendOutcome(sent, found) {
    if (!sent.unknown) return sent.message ? { ...sent, message: `${sent.kind} not sent: ${sent.message}` } : sent;
    const { command } = found;
    if (command?.nonce === sent.nonce && command.issuedAt === sent.issuedAt) return { command };
    if (found.message || command?.nonce === sent.nonce)
        return { ...found, message: `${sent.kind} may have been sent: check drovix-command status before sending again`, doubt: true };
    return { command, message: `${sent.kind} not sent: ${sent.message}` };
}

// How far the service's clock is ahead of this device's (ms), narrowed by an answer to what it
// allows: a record just saved was modified while the request was on its way, one looked up at
// some time before its answer, and a Date header, where the page may read it, gives the second.
export function serviceOffset(offset, { json, saved, sentAt, answeredAt, date }) {
    let [low, high] = [-Infinity, Infinity];
    const modified = json?.records?.[0]?.modified?.timestamp;
    if (Number.isFinite(modified)) [low, high] = [modified - answeredAt, saved ? modified - sentAt : high];
    const second = Date.parse(date ?? "");
    if (Number.isFinite(second)) [low, high] = [Math.max(low, second - answeredAt), Math.min(high, second + 1000 - sentAt)];
    return Math.min(Math.max(offset, low), high);
}

// What commands are dated by: the service's clock once this device's is known to be off.
export const datingOffset = (offset) => Math.abs(offset) > clockTolerance ? offset : 0;

export function clockNotice(offset) {
    if (Math.abs(offset) <= clockNoticeAt) return null;
    const seconds = Math.round(Math.abs(offset) / 1000);
    const size = seconds < 60 ? `${seconds} s` : seconds < 3600 ? `${Math.floor(seconds / 60)} min ${seconds % 60} s`
        : `${Math.floor(seconds / 3600)} h ${Math.floor(seconds % 3600 / 60)} min`;
    return `this device's clock is ${size} ${offset < 0 ? "ahead of" : "behind"} iCloud's: ` +
        "commands are dated by iCloud's clock";
}

export const unaskedSignIn = "ignored a sign-in that this page had not asked for, in the address it was opened with";
