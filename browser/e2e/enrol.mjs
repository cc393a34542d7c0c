// Drives Debian's Chromium with the Brindlemark extension through the demo bank page served by
// `democa serve`: enrolments of several shapes, the page's certificate table, and the failure paths a
// customer can meet (no host, host killed mid-request, an answer over the browser's 1 MiB limit, an unknown
// CSP). Saves a screenshot of each step; exits non-zero on the first expectation that does not hold.
//
// Environment: BM_PAGE_URL (the served page), BM_EXTENSION_DIR, BM_PROFILE_DIR (a fresh browser profile),
// BM_SHOTS_DIR, BM_HOST_EXE (the host program the session kills once), BM_REGISTER (command that registers the host in the profile; run with "--uninstall" to
// remove it), BM_CHROMIUM (default /usr/bin/chromium), BM_FAILURES=0 to leave the failure paths out.
import { execFileSync } from "node:child_process";
import { mkdirSync } from "node:fs";
import path from "node:path";
import { chromium } from "playwright-core";

const env = (name, fallback) => process.env[name] ?? fallback;
const pageUrl = env("BM_PAGE_URL");
const shotsDir = env("BM_SHOTS_DIR", "build/demo-browser");
const register = env("BM_REGISTER");
const profileDir = env("BM_PROFILE_DIR");
const extensionDir = path.resolve(env("BM_EXTENSION_DIR", "browser/extension"));
const withFailures = env("BM_FAILURES", "1") !== "0";
if (!pageUrl || !register || !profileDir || !env("BM_HOST_EXE")) {
  console.error("BM_PAGE_URL, BM_REGISTER, BM_PROFILE_DIR and BM_HOST_EXE are required");
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

const SM2_TOKEN = "Software SM2 Token CSP v1.0";
const ENHANCED = "Microsoft Enhanced Cryptographic Provider v1.0";
const SHAPES = [
  { label: "rsa-single", csp: ENHANCED, algorithm: "RSA", bits: "1024", certType: "1", format: "" },
  { label: "rsa-double-classic", csp: ENHANCED, algorithm: "RSA", bits: "1024", certType: "2", format: "classic" },
  { label: "sm2-double", csp: SM2_TOKEN, algorithm: "SM2", bits: "1024", certType: "2", format: "ext-sm2" },
];

async function enrol(page, shape, subject) {
  await page.selectOption("#csp", shape.csp);
  await page.selectOption("#algorithm", shape.algorithm);
  if (shape.algorithm === "RSA") await page.selectOption("#bits", shape.bits);
  await page.selectOption("#certType", shape.certType);
  await page.selectOption("#format", shape.format);
  await page.fill("#subject", subject);
  await page.click("#enrol");
  await page.waitForSelector("#steps li", { timeout: 10000 });
  await snap(page, `${shape.label}-generating`);
  await page.waitForFunction(() => !document.getElementById("enrol").disabled, null, { timeout: 120000 });
  const outcome = await page.locator("#outcome").getAttribute("class");
  const text = await page.textContent("#outcome");
  await snap(page, `${shape.label}-${outcome === "good" ? "installed" : "failed"}`);
  return { good: outcome === "good", text, steps: await page.locator("#steps li").allTextContents() };
}

async function tableRows(page) {
  await page.waitForFunction(() => document.querySelectorAll("#certs tbody tr").length > 0, null, { timeout: 60000 });
  return page.$$eval("#certs tbody tr", (rows) => rows.map((r) => Array.from(r.cells, (c) => c.textContent)));
}

async function openPage(context) {
  const page = await context.newPage();
  await page.goto(pageUrl);
  // the host check, then the permission probe when a host answered
  await page.waitForFunction(() => {
    const host = document.getElementById("host-status").className;
    return host === "bad" || (host === "good" && document.getElementById("permission-status").className !== "pending");
  }, null, { timeout: 120000 });
  return page;
}

// Calls the host through the page's own client, as the page's script would.
function pageCall(page, functionName, params) {
  return page.evaluate(async ([f, p]) => {
    const client = await import("/brindlemark.js");
    try {
      return { answer: await client.callHost(f, p) };
    } catch (error) {
      return { error: error.message };
    }
  }, [functionName, params]);
}

const context = await chromium.launchPersistentContext(profileDir, {
  viewport: { width: 1280, height: 900 },
  executablePath: env("BM_CHROMIUM", "/usr/bin/chromium"),
  headless: true,
  args: [`--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`, "--no-sandbox"],
});
let failed = false;
try {
  if (withFailures) {
    console.log("== the host is not registered");
    execFileSync(register, ["--uninstall", "--user-data-dir", profileDir], { stdio: "inherit" });
    const page = await openPage(context);
    expect(await page.locator("#host-status.bad").count() === 1, "the page says the host is missing");
    expect((await page.textContent("#host-status")).includes("not available"), "with the browser's reason");
    await snap(page, "host-missing");
    await page.close();
  }
  execFileSync(register, ["--user-data-dir", profileDir], { stdio: "inherit" });

  console.log("== enrolments through the page");
  const page = await openPage(context);
  expect(await page.locator("#host-status.good").count() === 1, "the page found the host");
  expect(await page.locator("#permission-status.good").count() === 1, "the permission probe says yes");
  await snap(page, "host-found");
  const serials = [];
  for (const shape of SHAPES) {
    const result = await enrol(page, shape, `CN=Browser ${shape.label},O=Brindlemark Demo Bank,C=CN`);
    expect(result.good, `${shape.label} enrols (${result.text})`);
    const serial = result.steps.join(" ").match(/serial ([0-9a-f]+)/);
    expect(serial !== null, `${shape.label} shows its serial`);
    serials.push({ label: shape.label, serial: serial[1] });
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
    expect(typeof big.error === "string", `an answer over 1 MiB becomes an error (${big.error})`);
    const after = await pageCall(page, "QORA_GetVersion", []);
    expect(after.answer && after.answer.errorcode === 0, "the next call reaches a new host");

    const pending = enrol(page, { label: "killed", csp: ENHANCED, algorithm: "RSA", bits: "4096", certType: "2",
                                  format: "classic" }, "CN=Killed,C=CN").catch((error) => ({ good: false, text: error.message }));
    await page.waitForFunction(() => /Generate/.test(document.querySelector("#steps li.running")?.textContent ?? ""),
                               null, { timeout: 30000 });
    // only the host of this session's build: other sessions' hosts on the machine stay
    const hostPattern = "^" + env("BM_HOST_EXE").replace(/[.*+?^${}()|[\]\\]/g, "\\$&");
    try { execFileSync("pkill", ["-9", "-f", hostPattern]); } catch (ignored) { /* gone already */ }
    const killed = await pending;
    expect(!killed.good && killed.text.includes("not available"), `a killed host becomes an error (${killed.text})`);
    const again = await enrol(page, SHAPES[0], "CN=After the crash,O=Brindlemark Demo Bank,C=CN");
    expect(again.good, "the page enrols again after the crash");
  }
  await page.close();
} catch (error) {
  failed = true;
  console.error("FAILED: " + error.message);
  for (const p of context.pages()) await snap(p, "failure", true).catch(() => {});
} finally {
  await context.close();
}
process.exit(failed ? 1 : 0);
