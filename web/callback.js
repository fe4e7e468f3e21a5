// The writer's sign-in callback: shows the token, to be copied and pasted where drovix-command
// sign-in asks for it, and hands it to nothing else.
import { tokenFromAddress } from "./command.js";

const { token, address } = tokenFromAddress(location.href);
if (token !== null) history.replaceState(history.state, "", address);

const $ = (id) => document.getElementById(id);
$("missing").hidden = token !== null;
$("handing").hidden = token === null;
$("token").textContent = token ?? "";

$("copy").addEventListener("click", async () => {
    try {
        await navigator.clipboard.writeText(token);
        $("status").textContent = "copied: paste it where drovix-command sign-in asks for it";
    } catch {
        $("status").textContent = "this browser did not allow copying: select the token and copy it";
    }
});
