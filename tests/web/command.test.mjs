// The page's pure functions at their edges, in plain node.
import { test } from "node:test";
import assert from "node:assert/strict";
import * as command from "../../web/command.js";

test("freshness counts 120 s either side of the clock, both ends included; the service's answers in words; the sign-in page is Apple's or, in a loopback build, the stand-in's", () => {
    const now = 1_800_000_000_000, meaning = (fields) => command.meaningOf(command.commandOf({ fields }), now);
    for (const [age, said] of [[120, /^fresh for another 0 s/], [120.001, /^issued more than/], [0.5, /^fresh for another 119 s/],
                               [-120, /^fresh for another 240 s/], [-120.001, /^dated more than 120 s ahead/]])
        assert.match(meaning({ kind: { value: "start" }, nonce: { value: "n" }, issuedAt: { value: now - age * 1000 } }), said);
    assert.match(meaning({ kind: { value: "start" }, nonce: { value: "n" }, issuedAt: { value: "1" } }), /no issue time/);
    const error = (status, fields) => command.readAnswer(status, JSON.stringify(fields), false);
    for (const [answer, expected] of [
        [error(503, { serverErrorCode: "THROTTLED" }), { message: "THROTTLED", wait: 30 }],
        [error(503, { serverErrorCode: "BUSY", reason: "later", retryAfter: 99999 }), { message: "BUSY: later", wait: 3600 }],
        [error(421, { serverErrorCode: "AUTHENTICATION_FAILED", redirectURL: "https://x" }),
         { message: "your session has ended: sign in again to see and send commands", signedOut: true, redirectURL: "https://x" }],
        [error(500, { reason: "no code" }), { message: "HTTP 500" }],
        [error(200, "text"), { message: "the service's answer is not JSON" }],
        [{ message: command.failureOf(new DOMException("", "TimeoutError"), "https://h") }, { message: "no answer from the service within 60 s" }],
    ]) assert.deepEqual(answer, expected);
    for (const [address, loopback, allowed] of [["https://idmsa.apple.com/x", false, true], ["http://127.0.0.1:9/", true, true],
            ["http://127.0.0.1:9/", false, false], ["http://localhost:9/", true, false], ["javascript:alert(1)", true, false]])
        assert.equal(command.signInAddressAllowed(address, loopback), allowed, address);
});
