// Drives Debian's Chromium or Firefox ESR with the Brindlemark extension through the demo bank page served
// by `democa serve`: enrolments of several shapes, the page's certificate table, the failure paths a
// customer can meet (no host, host killed mid-request, an answer over the browser's 1 MiB limit, an unknown
// CSP), and pages that each have their own host (two pages' requests at once, a reload, closed pages, two
// whole enrolments at once, a page closed during its key generation). Saves a screenshot of each step;
// exits non-zero on the first expectation that does not hold.
//
// Environment: BM_BROWSER (chromium, the default, or firefox), BM_PAGE_URL (the served page),
// BM_EXTENSION_DIR, BM_PROFILE_DIR (a fresh browser profile), BM_HOME (Firefox's HOME, where its host
// manifest goes), BM_SHOTS_DIR, BM_HOST_EXE (the host program of this build: the session kills it once and
// counts its processes), BM_REGISTER (scripts/install-browser-host), BM_BROWSER_EXE (default
// /usr/bin/chromium or /usr/bin/firefox-esr), BM_FAILURES=0 to leave the failure paths out.
import { execFileSync } from "node:child_process";
import { mkdirSync } from "node:fs";
import path from "node:path";
import { launchBrowser, waitInPage } from "./browsers.mjs";

const env = (name, fallback) => process.env[name] ?? fallback;
const kind = env("BM_BROWSER", "chromium");
const pageUrl = env("BM_PAGE_URL");
const shotsDir = env("BM_SHOTS_DIR", "build/demo-browser");
const register = env("BM_REGISTER");
const profileDir = env("BM_PROFILE_DIR");
const home = env("BM_HOME");
const hostExe = env("BM_HOST_EXE");
const extensionDir = path.resolve(env("BM_EXTENSION_DIR", "build/extension"));
const withFailures = env("BM_FAILURES", "1") !== "0";
if (!pageUrl || !register || !profileDir || !hostExe || (kind === "firefox" && !home)) {
  console.error("BM_PAGE_URL, BM_REGISTER, BM_PROFILE_DIR and BM_HOST_EXE are required, and BM_HOME for Firefox");
  process.exit(2);
}
mkdirSync(shotsDir, { recursive: true });

let shot = 0;
async function snap(page, name, fullPage = false) {
  const file = path.join(shotsDir, `${String(++shot).padStart(2, "0")}-${name}.png`);
  await page.screenshot({ path: file, fullPage });
  console.log(`  screenshot ${file}`);
}

function expect(condition, what) {
  if (!condition) throw new Error("expected: " + what);
  console.log(`  ok: ${what}`);
}

function registerHost(uninstall) {
  // the Windows build under Wine: this session counts and kills its .exe and enrols into its tokens
  const args = kind === "firefox" ? ["--firefox", "--wine"] : ["--user-data-dir", profileDir, "--wine"];
  execFileSync(register, uninstall ? ["--uninstall", ...args] : args,
               { stdio: "inherit", env: Object.assign({}, process.env, home ? { HOME: home } : {}) });
}

// Host processes of this build only: other sessions' hosts on the machine are not counted or killed.
const hostPattern = "^" + hostExe.replace(/[.*+?^${}()|[\]\\]/g, "\\$&");
function hostProcesses() {
  try {
    return execFileSync("pgrep", ["-f", hostPattern], { encoding: "utf8" }).split("\n").filter((l) => l).length;
  } catch (none) {
    return 0;
  }
}
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// Milliseconds until at most `count` host processes remain; null when that took longer than limitMs.
async function hostsDownTo(count, limitMs) {
  const start = Date.now();
  while (hostProcesses() > count) {
    if (Date.now() - start > limitMs) return null;
    await sleep(50);
  }
  return Date.now() - start;
}

const SM2_TOKEN = "Software SM2 Token CSP v1.0";
const ENHANCED = "Microsoft Enhanced Cryptographic Provider v1.0";
const SHAPES = {
  rsaSingle: { label: "rsa-single", csp: ENHANCED, algorithm: "RSA", bits: "1024", certType: "1", format: "" },
  rsaDouble: { label: "rsa-double-classic", csp: ENHANCED, algorithm: "RSA", bits: "1024", certType: "2", format: "classic" },
  sm2Double: { label: "sm2-double", csp: SM2_TOKEN, algorithm: "SM2", bits: "1024", certType: "2", format: "ext-sm2" },
};

// Fills the form as a customer would and waits for the page's outcome.
async function enrol(page, shape, subject, label = shape.label) {
  await page.evaluate(([s, subj]) => {
    const set = (id, value) => {
      const control = document.getElementById(id);
      control.value = value;
      control.dispatchEvent(new Event("change", { bubbles: true }));
    };
    set("csp", s.csp);
    set("algorithm", s.algorithm);
    if (s.algorithm === "RSA") set("bits", s.bits);
    set("certType", s.certType);
    set("format", s.format);
    set("subject", subj);
    document.getElementById("enrol").click();
  }, [shape, subject]);
  await waitInPage(page, () => document.querySelectorAll("#steps li").length > 0, null, 10000, "the first step");
  await snap(page, `${label}-generating`);
  await waitInPage(page, () => !document.getElementById("enrol").disabled, null, 180000, `${label}'s outcome`);
  const result = await page.evaluate(() => ({
    good: document.getElementById("outcome").className === "good",
    text: document.getElementById("outcome").textContent,
    steps: Array.from(document.querySelectorAll("#steps li"), (li) => li.textContent),
  }));
  await snap(page, `${label}-${result.good ? "installed" : "failed"}`);
  return result;
}

function serialOf(result) {
  const serial = result.steps.join(" ").match(/serial ([0-9a-f]+)/);
  return serial ? serial[1] : null;
}

async function tableRows(page) {
  await waitInPage(page, () => document.querySelectorAll("#certs tbody tr").length > 0, null, 60000, "the table");
  return page.evaluate(() => Array.from(document.querySelectorAll("#certs tbody tr"),
                                        (r) => Array.from(r.cells, (c) => c.textContent)));
}

// the host check, then the permission probe when a host answered
const pageSettled = () => {
  const host = document.getElementById("host-status")?.className;
  return host === "bad" || (host === "good" && document.getElementById("permission-status").className !== "pending");
};

async function openPage(browser) {
  const page = await browser.newPage();
  await page.goto(pageUrl);
  await waitInPage(page, pageSettled, null, 120000, "the host check");
  return page;
}

// Calls the host through the page's own client, as the page's script would.
function pageCall(page, functionName, params = []) {
  return page.evaluate(async ([f, p]) => {
    const client = await import("/brindlemark.js");
    try {
      return { answer: await client.callHost(f, p) };
    } catch (error) {
      return { error: error.message };
    }
  }, [functionName, params]);
}

// Settings, then a single request: { request, errorcode, container }.
async function settings(page, algorithm, bits, csp) {
  const a = await pageCall(page, "QORA_SetKeyAlgorithm", [algorithm]);
  const b = await pageCall(page, "QORA_SetCSPInfo", [bits, csp]);
  return a.answer?.errorcode === 0 && b.answer?.errorcode === 0;
}

function requestText(base64) {
  return execFileSync("openssl", ["req", "-inform", "DER", "-noout", "-text"],
                      { input: Buffer.from(base64.replace(/\s/g, ""), "base64"), encoding: "utf8" });
}

async function hostBasics(browser) {
  if (withFailures) {
    console.log("== the host is not registered");
    registerHost(true);
    const page = await openPage(browser);
    const status = await page.evaluate(() => [document.getElementById("host-status").className,
                                              document.getElementById("host-status").textContent]);
    expect(status[0] === "bad", "the page says the host is missing");
    expect(status[1].includes("not available"), `with the browser's reason (${status[1]})`);
    await snap(page, "host-missing");
    await page.close();
  }
  registerHost(false);

  console.log("== enrolments through the page");
  const page = await openPage(browser);
  const status = await page.evaluate(() => [document.getElementById("host-status").className,
                                            document.getElementById("permission-status").className]);
  expect(status[0] === "good", "the page found the host");
  expect(status[1] === "good", "the permission probe says yes");
  await snap(page, "host-found");
  const serials = [];
  for (const shape of [SHAPES.rsaSingle, SHAPES.rsaDouble, SHAPES.sm2Double]) {
    const result = await enrol(page, shape, `CN=Browser ${shape.label},O=Brindlemark Demo Bank,C=CN`);
    expect(result.good, `${shape.label} enrols (${result.text})`);
    expect(serialOf(result) !== null, `${shape.label} shows its serial`);
    serials.push({ label: shape.label, serial: serialOf(result) });
  }
  const rows = await tableRows(page);
  for (const { label, serial } of serials)
    expect(rows.some((row) => row[1] === serial && row[0].includes(`Browser ${label}`)),
           `the page's certificate table lists ${label} (${serial})`);
  await snap(page, "certificate-table", true);

  if (withFailures) {
    console.log("== failure paths");
    await page.evaluate(() => {
      const option = document.createElement("option");
      option.value = option.textContent = "No Such CSP v1.0";
      document.getElementById("csp").appendChild(option);
    });
    const unknown = await enrol(page, { label: "unknown-csp", csp: "No Such CSP v1.0", algorithm: "RSA", bits: "1024",
                                        certType: "1", format: "" }, "CN=Nobody,C=CN");
    expect(!unknown.good && /0x[0-9A-F]{8}/.test(unknown.text), `an unknown CSP shows a code and text (${unknown.text})`);

    const big = await pageCall(page, "x".repeat(1100 * 1024), []);
    expect(typeof big.error === "string" && big.error.includes("not available"),
           `an answer over 1 MiB becomes an error (${big.error})`);
    const after = await pageCall(page, "QORA_GetVersion", []);
    expect(after.answer && after.answer.errorcode === 0, "the next call reaches a new host");

    const pending = enrol(page, { label: "killed", csp: ENHANCED, algorithm: "RSA", bits: "4096", certType: "2",
                                  format: "classic" }, "CN=Killed,C=CN").catch((error) => ({ good: false, text: error.message }));
    await waitInPage(page, () => /Generate/.test(document.querySelector("#steps li.running")?.textContent ?? ""),
                     null, 30000, "the key generation");
    try { execFileSync("pkill", ["-9", "-f", hostPattern]); } catch (ignored) { /* gone already */ }
    const killed = await pending;
    expect(!killed.good && killed.text.includes("not available"), `a killed host becomes an error (${killed.text})`);
    const again = await enrol(page, SHAPES.rsaSingle, "CN=After the crash,O=Brindlemark Demo Bank,C=CN", "after-crash");
    expect(again.good, "the page enrols again after the crash");
  }
  await page.close();
}

async function pagesApart(browser) {
  console.log("== two pages, each with its own host");
  const settled = await hostsDownTo(0, 30000);
  expect(settled !== null, `no host of this build runs once the first pages are closed (${settled} ms)`);
  const a = await openPage(browser);
  const b = await openPage(browser);
  expect(await settings(a, "RSA", 1024, ENHANCED), "page A takes RSA 1024 in the Enhanced provider");
  expect(await settings(b, "SM2", 0, SM2_TOKEN), "page B takes SM2 in the SM2 token");
  const [ra, rb] = await Promise.all([
    pageCall(a, "QORA_PKCS10CertRequisition", ["CN=Page A,O=Brindlemark Demo Bank,C=CN", 1, 0]),
    pageCall(b, "QORA_PKCS10CertRequisition", ["CN=Page B,O=Brindlemark Demo Bank,C=CN", 1, 0]),
  ]);
  expect(ra.answer?.errorcode === 0 && rb.answer?.errorcode === 0, "both requests at once succeed");
  const ta = requestText(ra.answer.result), tb = requestText(rb.answer.result);
  expect(/rsaEncryption/.test(ta) && /Public-Key: \(1024 bit\)/.test(ta) && /CN\s*=\s*Page A/.test(ta),
         "page A's request is RSA 1024 with its own subject (openssl req)");
  expect(/SM2/.test(tb) && !/rsaEncryption/.test(tb) && /CN\s*=\s*Page B/.test(tb),
         "page B's request is SM2 with its own subject (openssl req)");
  const [ca, cb] = await Promise.all([pageCall(a, "QORA_GetContainer"), pageCall(b, "QORA_GetContainer")]);
  expect(ca.answer?.result && cb.answer?.result && ca.answer.result !== cb.answer.result,
         `the containers differ (${ca.answer?.result}, ${cb.answer?.result})`);
  const [ca2, cb2] = await Promise.all([pageCall(a, "QORA_GetContainer"), pageCall(b, "QORA_GetContainer")]);
  expect(ca2.answer?.result === ca.answer.result && cb2.answer?.result === cb.answer.result,
         "each page's QORA_GetContainer answers its own container");
  await snap(a, "page-a-of-two");
  await snap(b, "page-b-of-two");

  await a.reload();
  await waitInPage(a, pageSettled, null, 120000, "the reloaded page's host check");
  const fresh = await pageCall(a, "QORA_GetContainer");
  expect(fresh.answer?.errorcode === 0 && fresh.answer.result === "", "the reloaded page answers \"\" for QORA_GetContainer");
  const still = await pageCall(b, "QORA_GetContainer");
  expect(still.answer?.result === cb.answer.result, "the other page keeps its container");
  await snap(a, "page-a-reloaded");
  const reloadGone = await hostsDownTo(2, 15000);
  expect(reloadGone !== null, `the reloaded page's first host is gone (${reloadGone} ms after the check)`);

  await a.close();
  const closedOne = await hostsDownTo(1, 15000);
  expect(closedOne !== null, `page A's host is gone ${closedOne} ms after its tab closed, page B's runs`);
  await b.close();
  const closedTwo = await hostsDownTo(0, 15000);
  expect(closedTwo !== null, `no host of this build remains ${closedTwo} ms after the last tab closed`);

  console.log("== two whole enrolments at once");
  const c = await openPage(browser);
  const d = await openPage(browser);
  const [ec, ed] = await Promise.all([
    enrol(c, SHAPES.rsaDouble, "CN=Page C rsa-double,O=Brindlemark Demo Bank,C=CN", "page-c-rsa-double"),
    enrol(d, SHAPES.sm2Double, "CN=Page D sm2-double,O=Brindlemark Demo Bank,C=CN", "page-d-sm2-double"),
  ]);
  expect(ec.good && ed.good, `both enrol (${ec.text} / ${ed.text})`);
  await c.evaluate(() => document.getElementById("refresh").click());
  await waitInPage(c, (serials) => {
    const text = Array.from(document.querySelectorAll("#certs tbody tr"), (r) => r.cells[1]?.textContent).join(" ");
    return serials.every((s) => text.includes(s));
  }, [serialOf(ec), serialOf(ed)], 60000, "both serials in page C's table");
  console.log(`  ok: page C's table lists both certificates (${serialOf(ec)}, ${serialOf(ed)})`);
  await snap(c, "two-enrolments-table", true);
  await c.close();
  await d.close();

  console.log("== a page closed during its key generation");
  const e = await openPage(browser);
  const f = await openPage(browser);
  // never awaited: a driver may leave a call into a page it closed unsettled
  enrol(e, { label: "abandoned", csp: ENHANCED, algorithm: "RSA", bits: "4096", certType: "2", format: "classic" },
        "CN=Abandoned,C=CN").catch(() => null);
  await waitInPage(e, () => /Generate/.test(document.querySelector("#steps li.running")?.textContent ?? ""),
                   null, 30000, "page E's key generation");
  const other = enrol(f, SHAPES.rsaDouble, "CN=Page F rsa-double,O=Brindlemark Demo Bank,C=CN", "page-f-rsa-double");
  await e.close();
  const closedGone = hostsDownTo(1, 180000);  // page F's host stays
  const result = await other;
  expect(result.good, `the other page's enrolment succeeds (${result.text})`);
  const gone = await closedGone;
  expect(gone !== null, `the host of the page closed during its key generation is gone ${gone} ms after the tab closed`);
  await f.close();
}

const browser = await launchBrowser(kind, {
  profileDir, extensionDir, home, executablePath: env("BM_BROWSER_EXE"),
});
let failed = false;
try {
  await hostBasics(browser);
  await pagesApart(browser);
} catch (error) {
  failed = true;
  console.error("FAILED: " + error.message);
  for (const p of await browser.pages()) await snap(p, "failure", true).catch(() => {});
} finally {
  await browser.close();
}
process.exit(failed ? 1 : 0);
