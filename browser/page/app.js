// The demo bank's enrolment page: CSP choice, permission probe, request, the authority's answer, the
// imports, and the certificate list. Every failure shows the host's code and its GetLastErrorDesc text, and
// the page stays usable.
import { callHost, extensionPresent } from "./brindlemark.js";

const $ = (id) => document.getElementById(id);
let cspList = "";

class StepError extends Error {}

function hex32(code) {
  return "0x" + (code >>> 0).toString(16).toUpperCase().padStart(8, "0");
}

function addStep(text) {
  const item = document.createElement("li");
  item.className = "running";
  item.textContent = text;
  $("steps").appendChild(item);
  return {
    done(note) { item.className = "done"; if (note) item.textContent = text + " — " + note; },
    failed(note) { item.className = "failed"; item.textContent = text + " — " + note; },
  };
}

// One host call; a failed command becomes a StepError carrying the code and the agent's own description.
async function call(functionName, params = []) {
  const answer = await callHost(functionName, params);
  if (!answer || answer.errorcode !== 0) {
    const code = answer ? answer.errorcode : -1;
    let description = "";
    try {
      const desc = await callHost("GetLastErrorDesc", []);
      if (desc && desc.errorcode === 0 && typeof desc.result === "string") description = desc.result.trim();
    } catch (ignored) { /* the code alone is still shown */ }
    throw new StepError(`${functionName} failed with ${hex32(code)} (${code})` + (description ? ": " + description : ""));
  }
  return answer.result;
}

// Runs one visible step; describe turns its value into the note shown beside it.
async function step(text, work, describe = () => "") {
  const shown = addStep(text);
  try {
    const value = await work();
    shown.done(describe(value));
    return value;
  } catch (error) {
    shown.failed(error.message);
    throw error;
  }
}

function showOutcome(text, good) {
  $("outcome").textContent = text;
  $("outcome").className = good ? "good" : "bad";
}

async function detectHost() {
  const status = $("host-status");
  if (!extensionPresent()) {
    status.textContent = "The Brindlemark extension is not installed in this browser.";
    status.className = "bad";
    return false;
  }
  try {
    const version = await call("QORA_GetVersion");
    cspList = await call("QORA_GetCSPInfo");
    const select = $("csp");
    select.replaceChildren();
    for (const name of cspList.split("||").filter((n) => n.length > 0)) {
      const option = document.createElement("option");
      option.value = option.textContent = name;
      select.appendChild(option);
    }
    status.textContent = `Enrolment host ${version} found; ${select.options.length} key stores available.`;
    status.className = "good";
  } catch (error) {
    status.textContent = error.message;
    status.className = "bad";
    return false;
  }
  const permission = $("permission-status");
  try {
    const permitted = await call("QORA_HavePermissiontoGenerateKeyPair");
    permission.textContent = permitted ? "You may create key pairs on this computer." : "Key pairs cannot be created here.";
    permission.className = permitted ? "good" : "bad";
  } catch (error) {
    permission.textContent = "Key pairs cannot be created here: " + error.message;
    permission.className = "bad";
  }
  return true;
}

async function issue(request, format) {
  const form = new URLSearchParams({ request });
  if (format) form.set("format", format);
  const reply = await fetch("/issue", { method: "POST", body: form });
  const body = await reply.json().catch(() => ({}));
  if (!reply.ok) throw new StepError(`The authority refused the request (HTTP ${reply.status}): ${body.error || reply.statusText}`);
  return body;
}

async function enrol(event) {
  event.preventDefault();
  const button = $("enrol");
  button.disabled = true;
  $("steps").replaceChildren();
  showOutcome("Working…", true);
  const csp = $("csp").value;
  const algorithm = $("algorithm").value;
  const bits = algorithm === "SM2" ? 0 : Number($("bits").value);
  const certType = Number($("certType").value);
  try {
    await step(`Choose ${algorithm} keys in "${csp}"`, async () => {
      await call("QORA_SetKeyAlgorithm", [algorithm]);
      await call("QORA_SetCSPInfo", [bits, csp]);
    });
    const request = await step("Generate the key pair and sign the request (this can take a while)",
                               () => call("QORA_PKCS10CertRequisition", [$("subject").value, certType, 0]),
                               (text) => `request of ${text.replace(/\s/g, "").length} Base64 characters`);
    const container = await call("QORA_GetContainer");
    const issued = await step("Send the request to the certificate authority", () => issue(request, $("format").value),
                              (answer) => (answer.format ? `certificates and a ${answer.format} key envelope` : "certificate"));
    await step("Install the signing certificate",
               () => call("QORA_ImportSignCert", [certType === 1 ? 1 : 2, issued.signCert, container]),
               () => "serial " + issued.serial);
    if (certType === 2) {
      await step("Install the encryption certificate and its key",
                 () => call("QORA_ImportEncryptCert", [issued.encryptedPrivateKey, issued.encryptCert, container, 0]));
    }
    showOutcome(`Your certificate is installed (container ${container}).`, true);
  } catch (error) {
    showOutcome(error.message, false);
  } finally {
    // the list is part of the answer: the form comes back once it shows what the computer now holds
    await listCertificates().catch(() => {});
    button.disabled = false;
  }
}

async function listCertificates() {
  const body = $("certs").tBodies[0];
  let text;
  try {
    text = await call("QORA_GetAllCertInfo", [cspList]);
  } catch (error) {
    body.replaceChildren();
    const row = body.insertRow();
    const cell = row.insertCell();
    cell.colSpan = 5;
    cell.className = "bad";
    cell.textContent = error.message;
    return;
  }
  body.replaceChildren();
  for (const record of text.split("||").filter((r) => r.length > 0)) {
    const fields = record.split(";");
    const row = body.insertRow();
    for (let i = 0; i < 5; ++i) row.insertCell().textContent = fields[i] ?? "";
  }
}

$("algorithm").addEventListener("change", () => {
  const sm2 = $("algorithm").value === "SM2";
  $("bits").disabled = sm2;
});
$("enrol-form").addEventListener("submit", enrol);
$("refresh").addEventListener("click", () => listCertificates());

detectHost().then((found) => { if (found) return listCertificates(); });
