// Relays the page's calls to the service worker and the answers back to the page. The page sees only
// window messages; every call it made gets exactly one answer or one error.
"use strict";

const PAGE = "brindlemark-page";
const EXTENSION = "brindlemark-extension";

let worker = null;
const waiting = new Set();  // ids of the page's calls not answered yet

function toPage(message) {
  window.postMessage(Object.assign({ source: EXTENSION }, message), window.location.origin);
}

function connectWorker() {
  worker = chrome.runtime.connect({ name: "brindlemark" });
  worker.onMessage.addListener((message) => {
    if (!message || !waiting.delete(message.id)) return;
    toPage(message);
  });
  worker.onDisconnect.addListener(() => {
    worker = null;
    for (const id of waiting) toPage({ id, error: "The extension's worker stopped before the host answered." });
    waiting.clear();
  });
}

window.addEventListener("message", (event) => {
  const data = event.data;
  if (event.source !== window || !data || data.source !== PAGE) return;
  if (typeof data.id !== "string" || data.id.length === 0 || waiting.has(data.id)) return;
  waiting.add(data.id);
  try {
    if (!worker) connectWorker();
    worker.postMessage({ id: data.id, request: data.request });
  } catch (error) {
    waiting.delete(data.id);
    toPage({ id: data.id, error: "The extension cannot reach its worker: " + error.message });
  }
});

// The page reads this to tell "no extension" from "no answer yet".
document.documentElement.dataset.brindlemark = "ready";
