// The writer's sign-in callback: hands the token to drovix-command sign-in, through the loopback
// listener on this computer or by copy and paste, and to nothing else.
import settings from "./settings.js";
import { tokenFromAddress, writerCallbackAddress } from "./command.js";

const { token, address } = tokenFromAddress(location.href);
if (token !== null) history.replaceState(history.state, "", address);

const $ = (id) => document.getElementById(id);
$("missing").hidden = token !== null;
$("handing").hidden = token === null;
$("here").hidden = !settings.callbackPort;
$("token").textContent = token ?? "";

$("local").addEventListener("click", () => {
    $("status").textContent = "handing the token to drovix-command…";
    location.assign(writerCallbackAddress(settings.callbackPort, token));
});
$("copy").addEventListener("click", async () => {
    try {
        await navigator.clipboard.writeText(token);
        $("status").textContent = "copied: paste it where drovix-command sign-in waits";
    } catch {
        $("status").textContent = "this browser did not allow copying: select the token and copy it";
    }
});
