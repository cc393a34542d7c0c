// One page-driven round trip ("QORA_GetVersion" from the page's script, through the content script, the
// extension's service worker and the native port to BrindlemarkHost, and back) against the browser's own
// port round trip with a trivial native host (bench/win/EchoHost, the same Wine pipes without any work),
// measured from the extension's service worker in the same browser. Rounds alternate between the two so
// that a busy machine weighs on both alike. Prints one JSON object.
//
// Environment: BM_PAGE_URL, BM_PROFILE_DIR (with both hosts registered), BM_EXTENSION_DIR, BM_CHROMIUM,
// BM_ROUNDS (default 15), BM_CALLS (per round, default 100).
import { createRequire } from "node:module";
import path from "node:path";
import { fileURLToPath } from "node:url";

// playwright-core is installed once, for the browser tests, in browser/e2e
const repository = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const { chromium } = createRequire(path.join(repository, "browser/e2e/package.json"))("playwright-core");

const env = (name, fallback) => process.env[name] ?? fallback;
const rounds = Number(env("BM_ROUNDS", "15"));
const calls = Number(env("BM_CALLS", "100"));
const extensionDir = path.resolve(env("BM_EXTENSION_DIR", "browser/extension"));

const context = await chromium.launchPersistentContext(env("BM_PROFILE_DIR"), {
  executablePath: env("BM_CHROMIUM", "/usr/bin/chromium"),
  headless: true,
  args: [`--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`, "--no-sandbox"],
});
try {
  const worker = context.serviceWorkers()[0] ?? await context.waitForEvent("serviceworker");
  const page = await context.newPage();
  await page.goto(env("BM_PAGE_URL"));
  await page.waitForFunction(() => document.documentElement.dataset.brindlemark === "ready");

  const pageRound = (n) => page.evaluate(async (count) => {
    const client = await import("/brindlemark.js");
    const start = performance.now();
    for (let i = 0; i < count; ++i) {
      const answer = await client.callHost("QORA_GetVersion", []);
      if (answer.errorcode !== 0) throw new Error("QORA_GetVersion failed");
    }
    return (performance.now() - start) / count;
  }, n);
  const portRound = (n) => worker.evaluate(async (count) => {
    const port = chrome.runtime.connectNative("com.brindlemark.echo");
    const next = () => new Promise((resolve, reject) => {
      const done = () => { port.onMessage.removeListener(done); port.onDisconnect.removeListener(lost); resolve(); };
      const lost = () => reject(new Error(chrome.runtime.lastError?.message ?? "echo host closed"));
      port.onMessage.addListener(done);
      port.onDisconnect.addListener(lost);
    });
    const message = { function: "QORA_GetVersion", params: [], randomId: "7" };
    port.postMessage(message);
    await next();  // the host's start-up is not part of a round trip
    const start = performance.now();
    for (let i = 0; i < count; ++i) {
      port.postMessage(message);
      await next();
    }
    const perCall = (performance.now() - start) / count;
    port.disconnect();
    return perCall;
  }, n);

  await pageRound(5);  // the host is started and warm before the first measured round
  const pageTimes = [], portTimes = [];
  for (let r = 0; r < rounds; ++r) {
    pageTimes.push(await pageRound(calls));
    portTimes.push(await portRound(calls));
  }
  const median = (v) => { const s = [...v].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };
  const ratios = pageTimes.map((t, i) => t / portTimes[i]);
  console.log(JSON.stringify({
    calls_per_round: calls, rounds,
    page_ms_median: median(pageTimes), port_ms_median: median(portTimes),
    ratio_median: median(ratios),
  }));
} finally {
  await context.close();
}
