// The page-driven round trip: "QORA_GetVersion" from the page's script through the content script, the
// extension's worker and the page's own native port to BrindlemarkHost and back, against the very same path
// to the trivial echo host (bench/win/EchoHost: the same Wine pipes without any work), which a second
// browser of the same kind reaches through the extension built for that host name. Rounds alternate
// between the two so that a busy machine weighs on both alike. Also the first call of a new page, which
// includes starting its host. Prints one JSON object.
//
// Environment: BM_BROWSER (chromium or firefox), BM_PAGE_URL, BM_EXTENSION_DIR and BM_ECHO_EXTENSION_DIR,
// BM_PROFILE_DIR and BM_ECHO_PROFILE_DIR (Chromium: each with both hosts registered), BM_HOME (Firefox:
// both hosts registered there), BM_BROWSER_EXE, BM_ROUNDS (default 15), BM_CALLS (per round, default 100),
// BM_NEW_PAGES (first calls timed, default 5).
import { launchBrowser, waitInPage } from "../../browser/e2e/browsers.mjs";

const env = (name, fallback) => process.env[name] ?? fallback;
const kind = env("BM_BROWSER", "chromium");
const rounds = Number(env("BM_ROUNDS", "15"));
const calls = Number(env("BM_CALLS", "100"));
const newPages = Number(env("BM_NEW_PAGES", "5"));
const pageUrl = env("BM_PAGE_URL");

const median = (v) => { const s = [...v].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };

// Average milliseconds per call over `count` calls in sequence, from the page.
const pageRound = (page, count) => page.evaluate(async (n) => {
  const client = await import("/brindlemark.js");
  const start = performance.now();
  for (let i = 0; i < n; ++i) {
    const answer = await client.callHost("QORA_GetVersion", []);
    if (answer.errorcode !== 0) throw new Error("QORA_GetVersion failed");
  }
  return (performance.now() - start) / n;
}, count);

async function readyPage(browser) {
  const page = await browser.newPage();
  await page.goto(pageUrl);
  await waitInPage(page, () => document.documentElement.dataset.brindlemark === "ready", null, 30000, "the extension");
  return page;
}

// A new page's first call: its content script connects, the worker starts the page's host.
async function firstCall(browser) {
  const page = await readyPage(browser);
  const ms = await pageRound(page, 1);
  await page.close();
  return ms;
}

const launch = (extensionDir, profileDir) => launchBrowser(kind, {
  profileDir, extensionDir, home: env("BM_HOME"), executablePath: env("BM_BROWSER_EXE"),
});
const withHost = await launch(env("BM_EXTENSION_DIR"), env("BM_PROFILE_DIR"));
const withEcho = await launch(env("BM_ECHO_EXTENSION_DIR"), env("BM_ECHO_PROFILE_DIR"));
try {
  const hostFirst = [], echoFirst = [];
  for (let i = 0; i < newPages; ++i) {
    hostFirst.push(await firstCall(withHost));
    echoFirst.push(await firstCall(withEcho));
  }
  const hostPage = await readyPage(withHost), echoPage = await readyPage(withEcho);
  await pageRound(hostPage, 5);  // both hosts started and warm before the first measured round
  await pageRound(echoPage, 5);
  const hostTimes = [], echoTimes = [];
  for (let r = 0; r < rounds; ++r) {
    hostTimes.push(await pageRound(hostPage, calls));
    echoTimes.push(await pageRound(echoPage, calls));
  }
  const ratios = hostTimes.map((t, i) => t / echoTimes[i]);
  console.log(JSON.stringify({
    browser: kind, calls_per_round: calls, rounds,
    page_host_ms_median: median(hostTimes), page_echo_ms_median: median(echoTimes), ratio_median: median(ratios),
    new_page_first_call_host_ms_median: median(hostFirst), new_page_first_call_echo_ms_median: median(echoFirst),
  }));
} finally {
  await withHost.close();
  await withEcho.close();
}
