// Chromium on Linux signs in to the demo bank with a certificate the native host has just enrolled: the demo
// page enrols RSA through the extension into the NSS database of a fresh HOME, the demo CA's root is trusted
// there for the bank's server, and the bank's HTTPS login (democa serve) greets the new certificate's subject.
// The certificate is picked by the AutoSelectCertificateForUrls policy that browser/e2e/login-session puts in
// a private mount namespace. Before the enrolment the same login refuses the browser, which has no
// certificate to offer. Saves a screenshot of each step; exits non-zero on the first expectation that fails.
//
// Environment: BM_PAGE_URL (the demo page), BM_LOGIN_URL (https://127.0.0.1:PORT/, the policy's pattern),
// BM_REFUSED_URL (the same login under another name the policy does not cover), BM_EXTENSION_DIR,
// BM_PROFILE_DIR, BM_SHOTS_DIR, HOME (the fresh one: ~/.pki/nssdb, where registering the host installed the chains),
// BM_BROWSER_EXE (default /usr/bin/chromium).
import { execFileSync } from "node:child_process";
import { mkdirSync } from "node:fs";
import path from "node:path";
import { launchBrowser, waitInPage } from "./browsers.mjs";

const env = (name, fallback) => process.env[name] ?? fallback;
const pageUrl = env("BM_PAGE_URL");
const loginUrl = env("BM_LOGIN_URL");
const refusedUrl = env("BM_REFUSED_URL");
const profileDir = env("BM_PROFILE_DIR");
const shotsDir = env("BM_SHOTS_DIR", "build/login-browser");
const extensionDir = path.resolve(env("BM_EXTENSION_DIR", "build/extension"));
if (!pageUrl || !loginUrl || !refusedUrl || !profileDir) {
  console.error("BM_PAGE_URL, BM_LOGIN_URL, BM_REFUSED_URL and BM_PROFILE_DIR are required");
  process.exit(2);
}
const nssdb = `sql:${process.env.HOME}/.pki/nssdb`;
mkdirSync(shotsDir, { recursive: true });

let shot = 0;
async function snap(page, name) {
  const file = path.join(shotsDir, `${String(++shot).padStart(2, "0")}-${name}.png`);
  await page.screenshot({ path: file, fullPage: true });
  console.log(`  screenshot ${file}`);
}

function expect(condition, what) {
  if (!condition) throw new Error("expected: " + what);
  console.log(`  ok: ${what}`);
}

const certutil = (...args) => execFileSync("certutil", ["-d", nssdb, ...args], { encoding: "utf8" });
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The login's page, or the reason Chromium gave for not showing it.
async function visit(page, url) {
  try {
    await page.goto(url, { timeout: 30000 });
  } catch (error) {
    return { error: error.message.split("\n")[0] };
  }
  return page.evaluate(() => ({
    greeting: document.getElementById("greeting")?.textContent ?? null,
    serial: document.getElementById("serial")?.textContent ?? null,
    text: document.body?.innerText.slice(0, 300) ?? "",
  }));
}

const subject = `CN=Chromium Login ${Date.now()},O=Brindlemark Demo Bank,C=CN`;
const browser = await launchBrowser("chromium", { profileDir, extensionDir, executablePath: env("BM_BROWSER_EXE") });
let failed = false;
try {
  const page = await browser.newPage();
  await page.goto(pageUrl);
  await waitInPage(page, () => {
    const host = document.getElementById("host-status")?.className;
    return host === "bad" || (host === "good" && document.getElementById("permission-status").className !== "pending");
  }, null, 60000, "the host check");
  expect(await page.evaluate(() => document.getElementById("host-status").className) === "good",
         "the page found the Linux host");
  const csps = await page.evaluate(() => Array.from(document.querySelectorAll("#csp option"), (o) => o.value));
  expect(csps.includes("Microsoft Enhanced Cryptographic Provider v1.0"),
         `the page lists the NSS database's providers (${csps.join(", ")})`);
  console.log("== " + certutil("-L").trim().split("\n").length + " lines of certutil -L in the fresh database");

  // The server's certificate comes from the demo CA: registering the host installed its chains here, in the
  // browser's database, with the roots trusted.
  const rootTrust = certutil("-L").split("\n").find((line) => line.startsWith("Brindlemark Demo RSA Root CA "));
  expect(rootTrust && /\sC,,\s*$/.test(rootTrust), `the demo CA's root is trusted in the database (${rootTrust})`);
  await sleep(500);
  const before = await visit(page, refusedUrl);
  // the handshake fails (in TLS 1.3 the server's alert may come after Chromium's Finished, so the reason
  // varies); a server certificate Chromium does not trust or a server that is not there would prove nothing
  expect(!before.greeting && before.error && !/ERR_CERT_|ERR_CONNECTION_REFUSED/.test(before.error),
         `without a certificate the bank lets nobody in (${before.error ?? before.text})`);
  await snap(page, "login-refused");

  console.log("== the demo page enrols RSA 2048 into the NSS database");
  await page.goto(pageUrl);
  await waitInPage(page, () => document.getElementById("host-status")?.className === "good", null, 60000, "the host");
  await page.evaluate((subj) => {
    const set = (id, value) => {
      const control = document.getElementById(id);
      control.value = value;
      control.dispatchEvent(new Event("change", { bubbles: true }));
    };
    set("csp", "Microsoft Enhanced Cryptographic Provider v1.0");
    set("algorithm", "RSA");
    set("bits", "2048");
    set("certType", "1");
    set("format", "");
    set("subject", subj);
    document.getElementById("enrol").click();
  }, subject);
  await waitInPage(page, () => document.querySelectorAll("#steps li").length > 0, null, 10000, "the first step");
  await waitInPage(page, () => !document.getElementById("enrol").disabled, null, 180000, "the enrolment's outcome");
  const outcome = await page.evaluate(() => ({
    good: document.getElementById("outcome").className === "good",
    text: document.getElementById("outcome").textContent,
    steps: Array.from(document.querySelectorAll("#steps li"), (li) => li.textContent).join(" "),
  }));
  await snap(page, "enrolled");
  expect(outcome.good, `the page enrols (${outcome.text})`);
  const serial = outcome.steps.match(/serial ([0-9a-f]+)/)?.[1];
  expect(serial, `the page shows the serial (${serial})`);
  console.log(certutil("-L").trim());
  const keys = certutil("-K").trim();
  console.log(keys);
  expect(/rsa/.test(keys), "the database holds the new RSA key (certutil -K)");

  console.log("== the bank's login");
  const after = await visit(page, loginUrl);
  await snap(page, "login-greeted");
  expect(after.greeting === `Welcome, ${subject}`, `the bank greets the certificate's subject (${after.greeting ?? after.error ?? after.text})`);
  expect(after.serial === serial, `with the enrolled certificate (serial ${after.serial})`);
} catch (error) {
  failed = true;
  console.error("FAILED: " + error.message);
  for (const p of await browser.pages()) await snap(p, "failure").catch(() => {});
} finally {
  await browser.close();
}
process.exit(failed ? 1 : 0);
