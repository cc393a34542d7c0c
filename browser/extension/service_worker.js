// Keeps one native-messaging port to the host and matches its answers to the pages' calls. The host answers
// strictly in order and echoes each call's token; a closed port fails every call still waiting, so a page
// never waits for an answer that cannot come (host missing, host crashed, answer over the browser's limit).
"use strict";

const HOST = "com.brindlemark.host";

let host = null;
let nextToken = 1;
const waiting = [];  // in sending order: { token, page, id, pageToken }

function answerPage(entry, message) {
  if (!entry.page) return;  // the page went away meanwhile
  try {
    entry.page.postMessage(Object.assign({ id: entry.id }, message));
  } catch (error) {
    entry.page = null;
  }
}

function failAll(text) {
  for (const entry of waiting.splice(0)) answerPage(entry, { error: text });
}

function onHostAnswer(answer) {
  const token = answer && typeof answer.randomId === "string" ? answer.randomId : null;
  let index = token === null ? -1 : waiting.findIndex((entry) => entry.token === token);
  if (index < 0) index = 0;  // an answer without our token (a fixed error text) belongs to the oldest call
  const entry = waiting.splice(index, 1)[0];
  if (!entry) return;
  const response = Object.assign({}, answer);
  if (entry.pageToken) response.randomId = entry.pageToken;
  else delete response.randomId;
  answerPage(entry, { response });
}

function connectHost() {
  const port = chrome.runtime.connectNative(HOST);
  port.onMessage.addListener(onHostAnswer);
  port.onDisconnect.addListener(() => {
    const reason = chrome.runtime.lastError ? chrome.runtime.lastError.message : "The host closed the connection.";
    if (host === port) host = null;
    failAll("The enrolment host is not available: " + reason);
  });
  return port;
}

function validRequest(request) {
  return request && typeof request === "object" && typeof request.function === "string" &&
         request.function.length > 0 && Array.isArray(request.params);
}

chrome.runtime.onConnect.addListener((page) => {
  if (page.name !== "brindlemark" || !page.sender || page.sender.id !== chrome.runtime.id) return;
  page.onMessage.addListener((message) => {
    if (!message || typeof message.id !== "string") return;
    const request = message.request;
    if (!validRequest(request)) {
      page.postMessage({ id: message.id, error: "A call needs a function name and a params array." });
      return;
    }
    const entry = {
      token: "bm-" + nextToken++,
      page,
      id: message.id,
      pageToken: typeof request.randomId === "string" ? request.randomId : "",
    };
    waiting.push(entry);
    try {
      if (!host) host = connectHost();
      host.postMessage({ function: request.function, params: request.params, randomId: entry.token });
    } catch (error) {
      waiting.splice(waiting.indexOf(entry), 1);
      answerPage(entry, { error: "The enrolment host is not available: " + error.message });
    }
  });
  page.onDisconnect.addListener(() => {
    for (const entry of waiting) if (entry.page === page) entry.page = null;
  });
});
