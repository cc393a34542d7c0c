// Gives every page its own host: each page connection (one per top-level document) gets its own
// native-messaging port, so its own host process and agent with its own settings, container and pair state,
// exactly as every embedding of the plug-in has its own agent. A page's calls go to its own port only; when
// the page goes away (tab closed, navigated, reloaded) its port is closed, and its host's input ends.
// The host answers strictly in order and echoes each call's token; a closed port fails every call of its
// page still waiting, so a page never waits for an answer that cannot come (host missing, host crashed,
// answer over the browser's limit). The same script is Chromium's service worker and Firefox's background
// script.
"use strict";

const HOST = "com.brindlemark.host";

// Chromium gives a closed port's reason in runtime.lastError, Firefox in the port's own error.
function disconnectReason(port) {
  if (port.error && port.error.message) return port.error.message;
  if (chrome.runtime.lastError && chrome.runtime.lastError.message) return chrome.runtime.lastError.message;
  return "The host closed the connection.";
}

function validRequest(request) {
  return request && typeof request === "object" && typeof request.function === "string" &&
         request.function.length > 0 && Array.isArray(request.params);
}

// One page and its host. The host is started by the page's first call (the content script connects with
// it) and again by the next call after it closed (answer too large, crash), so a page keeps working
// without a reload.
class PageLink {
  constructor(page) {
    this.page = page;
    this.host = null;
    this.nextToken = 1;
    this.waiting = [];  // in sending order: { token, id, pageToken }
    this.closed = false;
    page.onMessage.addListener((message) => this.onPageCall(message));
    page.onDisconnect.addListener(() => this.close());
  }

  answerPage(entry, message) {
    if (this.closed) return;
    try {
      this.page.postMessage(Object.assign({ id: entry.id }, message));
    } catch (error) {
      this.close();
    }
  }

  connectHost() {
    const port = chrome.runtime.connectNative(HOST);
    this.host = port;
    port.onMessage.addListener((answer) => this.onHostAnswer(answer));
    port.onDisconnect.addListener(() => {
      const reason = disconnectReason(port);
      if (this.host !== port) return;  // the page went away first
      this.host = null;
      for (const entry of this.waiting.splice(0))
        this.answerPage(entry, { error: "The enrolment host is not available: " + reason });
    });
  }

  onHostAnswer(answer) {
    const token = answer && typeof answer.randomId === "string" ? answer.randomId : null;
    let index = token === null ? -1 : this.waiting.findIndex((entry) => entry.token === token);
    if (index < 0) index = 0;  // an answer without our token (a fixed error text) belongs to the oldest call
    const entry = this.waiting.splice(index, 1)[0];
    if (!entry) return;
    const response = Object.assign({}, answer);
    if (entry.pageToken) response.randomId = entry.pageToken;
    else delete response.randomId;
    this.answerPage(entry, { response });
  }

  onPageCall(message) {
    if (!message || typeof message.id !== "string") return;
    const request = message.request;
    if (!validRequest(request)) {
      this.answerPage(message, { error: "A call needs a function name and a params array." });
      return;
    }
    const entry = {
      token: "bm-" + this.nextToken++,
      id: message.id,
      pageToken: typeof request.randomId === "string" ? request.randomId : "",
    };
    this.waiting.push(entry);
    try {
      if (!this.host) this.connectHost();
      this.host.postMessage({ function: request.function, params: request.params, randomId: entry.token });
    } catch (error) {
      this.waiting.splice(this.waiting.indexOf(entry), 1);
      this.answerPage(entry, { error: "The enrolment host is not available: " + error.message });
    }
  }

  // Answers still coming from the host go nowhere; closing the port ends the host's input, so the host
  // ends once the work in hand is done (the browser ends it after a grace period).
  close() {
    if (this.closed) return;
    this.closed = true;
    this.waiting = [];
    const host = this.host;
    this.host = null;
    if (host) host.disconnect();
  }
}

chrome.runtime.onConnect.addListener((page) => {
  if (page.name !== "brindlemark" || !page.sender || page.sender.id !== chrome.runtime.id) return;
  // Only the top frame of a bank page is served: a frame inside it is someone else's document.
  if (page.sender.frameId !== 0 || !page.sender.tab) {
    page.disconnect();
    return;
  }
  new PageLink(page);
});
