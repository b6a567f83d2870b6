// SPDX-License-Identifier: MIT
// Reports the active tab of the last focused browser window to the Vantor Companion agent, through
// its native messaging host. Private windows are out of reach: the manifest does not allow them.
'use strict';

const api = globalThis.browser ?? globalThis.chrome;
const HOST = 'com.keyloft.vantor_companion';
const FIRST_RETRY_MS = 1000;
const LAST_RETRY_MS = 60000;

let port = null;
let retryMs = FIRST_RETRY_MS;
let retryTimer = null;
let sequence = 0;

function connect() {
  retryTimer = null;
  try {
    port = api.runtime.connectNative(HOST);
  } catch (error) {
    port = null;
    scheduleReconnect();
    return;
  }
  port.onMessage.addListener((message) => {
    // The host only ever asks for a fresh report; its first query also proves the link works.
    retryMs = FIRST_RETRY_MS;
    if (message && message.type === 'query') report();
  });
  port.onDisconnect.addListener(() => {
    void api.runtime.lastError; // read, so the browser does not log it as unchecked
    port = null;
    scheduleReconnect();
  });
  report();
}

// The host is missing or keeps failing: try again ever more rarely, never in a tight loop.
function scheduleReconnect() {
  if (retryTimer !== null) return;
  retryTimer = setTimeout(connect, retryMs);
  retryMs = Math.min(retryMs * 2, LAST_RETRY_MS);
}

async function report() {
  if (!port) return;
  const mine = ++sequence;
  const message = { type: 'tab', url: '', title: '', focused: false, incognito: false, time: Date.now() };
  try {
    const window = await api.windows.getLastFocused({ windowTypes: ['normal'] });
    const [tab] = await api.tabs.query({ active: true, windowId: window.id });
    message.focused = Boolean(window.focused);
    message.incognito = Boolean(window.incognito || (tab && tab.incognito));
    if (tab) {
      message.url = tab.url || '';
      message.title = tab.title || '';
    }
  } catch (error) {
    // No window at all: the unfocused report says there is nothing to show.
  }
  // Lookups finish out of order; only the newest may speak.
  if (mine !== sequence || !port) return;
  message.time = Date.now();
  try {
    port.postMessage(message);
  } catch (error) {
    // The port closed meanwhile; onDisconnect reconnects.
  }
}

api.tabs.onActivated.addListener(() => report());
api.tabs.onUpdated.addListener((tabId, change, tab) => {
  if (tab.active && (change.url !== undefined || change.title !== undefined)) report();
});
api.windows.onFocusChanged.addListener(() => report());

connect();
