// The page's side of the enrolment extension: one promise per host call. The extension's content script
// marks the document when it is present and answers every call exactly once, with the host's answer or an
// error text.
const PAGE = "brindlemark-page";
const EXTENSION = "brindlemark-extension";

let nextId = 1;
const calls = new Map();

window.addEventListener("message", (event) => {
  const data = event.data;
  if (event.source !== window || !data || data.source !== EXTENSION) return;
  const call = calls.get(data.id);
  if (!call) return;
  calls.delete(data.id);
  if (typeof data.error === "string") call.reject(new Error(data.error));
  else call.resolve(data.response);
});

export function extensionPresent() {
  return document.documentElement.dataset.brindlemark === "ready";
}

// Resolves with the host's answer object ({function, errorcode, result}); rejects when no answer can come.
export function callHost(functionName, params = []) {
  if (!extensionPresent())
    return Promise.reject(new Error("The Brindlemark extension is not installed in this browser."));
  const id = "call-" + nextId++;
  return new Promise((resolve, reject) => {
    calls.set(id, { resolve, reject });
    window.postMessage({ source: PAGE, id, request: { function: functionName, params } }, window.location.origin);
  });
}
