// Starts Debian's Chromium (playwright-core) or Firefox ESR (puppeteer-core over WebDriver BiDi) with the
// extension loaded, headless, in a fresh profile. The tests use only what both drivers' pages share:
// goto, reload, evaluate with one argument, screenshot and close.
import { createRequire } from "node:module";
import path from "node:path";
import { fileURLToPath } from "node:url";

// Both drivers are installed once, for the browser tests, in browser/e2e.
const require = createRequire(path.join(path.dirname(fileURLToPath(import.meta.url)), "package.json"));

// kind: "chromium" or "firefox"; home: the HOME Firefox reads its native-messaging manifests from.
export async function launchBrowser(kind, { profileDir, extensionDir, home, executablePath }) {
  const viewport = { width: 1280, height: 900 };
  if (kind === "chromium") {
    const { chromium } = require("playwright-core");
    const context = await chromium.launchPersistentContext(profileDir, {
      viewport,
      executablePath: executablePath ?? "/usr/bin/chromium",
      headless: true,
      args: [`--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`, "--no-sandbox"],
    });
    return {
      kind,
      newPage: () => context.newPage(),
      pages: () => context.pages(),
      close: () => context.close(),
    };
  }
  if (kind === "firefox") {
    const puppeteer = require("puppeteer-core");
    const browser = await puppeteer.launch({
      browser: "firefox",
      executablePath: executablePath ?? "/usr/bin/firefox-esr",
      headless: true,
      userDataDir: profileDir,
      defaultViewport: viewport,
      env: Object.assign({}, process.env, { HOME: home }),
    });
    await browser.installExtension(extensionDir);  // a temporary add-on, as from about:debugging
    return {
      kind,
      newPage: () => browser.newPage(),
      pages: () => browser.pages(),
      close: () => browser.close(),
    };
  }
  throw new Error(`unknown browser ${kind} (chromium or firefox)`);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls fn(arg) in the page until it is truthy; a page between documents is polled again.
export async function waitInPage(page, fn, arg, timeoutMs, what) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    if (page.isClosed()) throw new Error(`the page closed while waiting for ${what}`);
    try {
      const value = await page.evaluate(fn, arg);
      if (value) return value;
    } catch (error) {
      if (!/context|navigat|destroyed|detached|Target closed|No realm/i.test(error.message)) throw error;
    }
    if (Date.now() > end) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await sleep(100);
  }
}
