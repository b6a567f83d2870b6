// The try-it console: drives the agent's loopback API from another origin (this peer's) and
// the same actions through the peer's queue. Every text that comes from the agent or the peer
// goes into the page as text nodes, never as markup.
'use strict';

const AGENT = 'http://127.0.0.1:17345';
const RETRY_MS = 1000;
const HEALTH_MS = 5000;
const PEER_MS = 2000;
const ICON_LOADS_AT_ONCE = 3;
const SYSTEM_CONTROLS = {
  'system-actions': ['volume-up', 'volume-down', 'mute-toggle', 'quit-apps'],
  'audio-devices': ['audio-output-next', 'audio-input-next'],
};
// Until the agent publishes its own.
let limits = { maxWorkflowSteps: 12, maxWorkflowDepth: 3 };

const byId = (id) => document.getElementById(id);

// el('li', { class: 'x', onclick: f }, 'text', child): text arguments become text nodes.
function el(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (value !== undefined && value !== null && value !== false) node.setAttribute(key, value);
  }
  node.append(...children.filter((c) => c !== null && c !== undefined));
  return node;
}

function showField(id, value) {
  const node = byId(id);
  const present = value !== undefined && value !== null && value !== '';
  node.textContent = present ? String(value) : '—';
  node.classList.toggle('empty', !present);
}

const clock = (iso) => (iso ? new Date(iso).toLocaleTimeString() : '');

// ---- The agent's reachability, in words ---------------------------------------------------

const agentState = { now: 'unknown', everOnline: false };
const STATE_TEXT = {
  online: 'Connected to the agent at http://127.0.0.1:17345.',
  stopped: 'The agent is not running (nothing answers at http://127.0.0.1:17345) — disconnected, retrying every second.',
  refused: 'The agent refuses this page (403 Forbidden): it serves pages only from 127.0.0.1, localhost, ' +
    'its default console or the cloud service it is paired with. Open this page at http://127.0.0.1:PORT/ ' +
    'or pair the agent with this peer — retrying every second.',
  failing: 'The agent answered with an error — retrying every second.',
};

function noteAgent(state, detail) {
  const previous = agentState.now;
  agentState.now = state;
  const line = byId('agent-state');
  line.dataset.state = state;
  line.textContent = STATE_TEXT[state] + (detail ? ` (${detail})` : '');
  if (state === 'online') {
    const cameBack = previous !== 'online';
    agentState.everOnline = true;
    // Whatever failed while it was away is fetched again.
    if (cameBack) refreshAgentInfo();
  }
}

class AgentUnavailable extends Error {}

// One request to the agent. A network failure means it is not running; 403 means its guards
// refuse this page's origin. Both are reported and thrown; other answers are returned.
async function agentFetch(path, init) {
  let response;
  try {
    response = await fetch(AGENT + path, { cache: 'no-store', ...init });
  } catch (error) {
    noteAgent('stopped');
    throw new AgentUnavailable('stopped');
  }
  let body = null;
  try {
    body = await response.json();
  } catch (error) {
    body = null;
  }
  if (response.status === 403) {
    noteAgent('refused');
    const refusal = new AgentUnavailable('refused');
    refusal.body = body;
    throw refusal;
  }
  return { status: response.status, statusText: response.statusText, body };
}

// ---- Live context over the event stream ---------------------------------------------------

let stream = null;
let retryTimer = null;
let eventCount = 0;

function setStreamState(state) {
  const badge = byId('stream-state');
  badge.dataset.state = state;
  badge.textContent = { live: 'live', connecting: 'connecting', down: 'disconnected, retrying' }[state];
}

function showContext(context) {
  showField('ctx-activeApp', context.activeApp);
  showField('ctx-bundleId', context.bundleId);
  showField('ctx-windowTitle', context.windowTitle);
  showField('ctx-browserUrl', context.browserUrl);
  showField('ctx-at', context.at ? `${clock(context.at)} (${context.at})` : '');
  byId('event-count').textContent = String(++eventCount);
}

// EventSource retries a dropped connection by itself but gives up for good on a 403 or any
// other non-stream answer; so every failure closes it and we reopen it ourselves.
function openStream() {
  clearTimeout(retryTimer);
  if (stream) stream.close();
  stream = new EventSource(AGENT + '/events');
  stream.onopen = () => {
    setStreamState('live');
    noteAgent('online');
  };
  stream.onmessage = (event) => {
    try {
      showContext(JSON.parse(event.data));
    } catch (error) {
      // A frame that is not a context is skipped; the next one will do.
    }
  };
  stream.onerror = () => {
    stream.close();
    stream = null;
    setStreamState('down');
    whyIsTheStreamDown().finally(() => {
      retryTimer = setTimeout(openStream, RETRY_MS);
    });
  };
}

// The stream's error carries no status: ask once more to tell "stopped" from "refused".
async function whyIsTheStreamDown() {
  try {
    const answer = await agentFetch('/status');
    if (answer.status !== 200) noteAgent('failing', `HTTP ${answer.status}`);
  } catch (error) {
    // agentFetch has said why.
  }
}

// ---- Health and capabilities ---------------------------------------------------------------

let capabilities = null;

async function checkHealth() {
  const started = performance.now();
  try {
    const answer = await agentFetch('/health');
    const ms = Math.round(performance.now() - started);
    const ok = answer.body && answer.body.ok === true;
    showField('health', ok ? `ok — answered in ${ms} ms at ${new Date().toLocaleTimeString()}`
      : `HTTP ${answer.status}`);
  } catch (error) {
    showField('health', error.message === 'refused' ? 'refused (403)' : 'no answer');
  }
}

async function loadCapabilities() {
  const answer = await agentFetch('/capabilities');
  const caps = answer.body || {};
  capabilities = caps;
  const list = (value) => (Array.isArray(value) ? value.map(String).join(', ') : '');
  showField('cap-platform', caps.platform);
  showField('cap-actions', list(caps.actions));
  showField('cap-context', [list(caps.context), list(caps.contextDetails)].filter(Boolean).join('; '));
  showField('cap-features', list(caps.features));
  const published = caps.limits || {};
  if (Number.isInteger(published.maxWorkflowSteps)) limits.maxWorkflowSteps = published.maxWorkflowSteps;
  if (Number.isInteger(published.maxWorkflowDepth)) limits.maxWorkflowDepth = published.maxWorkflowDepth;
  showField('cap-limits', `at most ${limits.maxWorkflowSteps} workflow steps, nesting below depth ` +
    `${limits.maxWorkflowDepth}; URL schemes: ${list(published.urlProtocols) || '—'}`);
  showSystemButtons(Array.isArray(caps.features) ? caps.features : []);
  workflow.refreshLimits();
}

function showSystemButtons(features) {
  const box = byId('system-buttons');
  const controls = features.flatMap((feature) => SYSTEM_CONTROLS[feature] || []);
  box.replaceChildren(...controls.map((control) =>
    el('button', { type: 'button', 'data-control': control, onclick: () =>
      sendAction({ type: 'system', target: control }) }, control)));
  if (controls.length === 0) box.append(el('span', { class: 'hint' }, 'the agent publishes no system controls'));
}

let refreshing = null;

// Once at start and each time the agent comes back; calls while one runs share it.
function refreshAgentInfo() {
  if (!refreshing) {
    refreshing = (async () => {
      try {
        await loadCapabilities();
        await checkHealth();
        if (!apps.loaded) await loadApps();
      } catch (error) {
        // Reported through the agent state line; the next reconnection tries again.
      } finally {
        refreshing = null;
      }
    })();
  }
  return refreshing;
}

// ---- Actions --------------------------------------------------------------------------------

window.vantorTimings = []; // click-to-answer-shown times in ms, read by the end-to-end test

function chosenRoute() {
  return document.querySelector('input[name="route"]:checked').value;
}

async function sendAction(action) {
  const started = performance.now();
  const route = chosenRoute();
  let outcome;
  if (route === 'cloud') outcome = await queueThroughPeer(action);
  else outcome = await postToAgent(action);
  const entry = showAnswer(route, action, outcome);
  // "Shown" is the next frame after the answer entered the page.
  await new Promise((resolve) => requestAnimationFrame(() => resolve()));
  const ms = performance.now() - started;
  window.vantorTimings.push(ms);
  entry.querySelector('.took').textContent = `${ms.toFixed(1)} ms`;
}

async function postToAgent(action) {
  try {
    const answer = await agentFetch('/action', {
      method: 'POST',
      headers: { 'content-type': 'application/json' },
      body: JSON.stringify({ action }),
    });
    const body = answer.body || {};
    return {
      ok: body.ok === true,
      status: `${answer.status} ${answer.statusText}`.trim(),
      message: typeof body.message === 'string' ? body.message : JSON.stringify(body),
    };
  } catch (error) {
    if (error.message === 'refused') {
      const message = error.body && typeof error.body.message === 'string' ? error.body.message : 'Forbidden';
      return { ok: false, status: '403 Forbidden', message };
    }
    return { ok: false, status: 'no answer', message: 'The agent is not running: nothing was sent.' };
  }
}

async function queueThroughPeer(action) {
  try {
    const response = await fetch('/admin/actions', { method: 'POST', body: JSON.stringify(action) });
    const text = await response.text();
    if (!response.ok) return { ok: false, status: `${response.status}`, message: text };
    const queued = JSON.parse(text).queued;
    refreshPeer();
    return { ok: true, status: `${response.status} queued`, message: `Queued for the agent's next poll (${queued} waiting)` };
  } catch (error) {
    return { ok: false, status: 'no answer', message: 'The cloud peer did not answer.' };
  }
}

function showAnswer(route, action, outcome) {
  const entry = el('li', { class: outcome.ok ? 'ok' : 'failed', 'data-route': route },
    el('span', { class: 'route' }, route === 'cloud' ? 'cloud' : 'local'),
    el('span', { class: 'status' }, outcome.status),
    el('span', { class: 'message' }, outcome.message),
    el('span', { class: 'took' }, ''),
    el('code', { class: 'sent' }, JSON.stringify(action)));
  const list = byId('answers');
  list.prepend(entry);
  while (list.children.length > 50) list.lastChild.remove();
  return entry;
}

function readForm(id, build) {
  byId(id).addEventListener('submit', (event) => {
    event.preventDefault();
    const action = build();
    if (action) sendAction(action);
  });
}

readForm('url-form', () => ({ type: 'url', target: byId('url-input').value }));
readForm('shortcut-form', () => ({ type: 'shortcut', keys: byId('shortcut-input').value }));
readForm('launch-form', () => ({ type: 'launch', app: byId('launch-input').value }));
readForm('raw-form', () => {
  try {
    return JSON.parse(byId('raw-input').value);
  } catch (error) {
    showAnswer('local', byId('raw-input').value, { ok: false, status: 'not sent', message: 'That is not JSON.' });
    return null;
  }
});

// ---- Workflow editor -----------------------------------------------------------------------

const STEP_FIELDS = { launch: 'app', url: 'target', shortcut: 'keys', system: 'target' };
const STEP_DEFAULTS = { launch: '', url: 'https://example.com/', shortcut: 'command+c', system: 'volume-up' };

// An editor for one workflow at nesting `depth` (the top level is 0). A step may itself be a
// workflow only while that stays below the published depth limit.
function workflowEditor(depth) {
  const steps = [];
  const label = el('input', { type: 'text', class: 'wf-label', placeholder: 'Label (optional)' });
  const list = el('ol', { class: 'wf-steps' });
  const count = el('span', { class: 'hint wf-count' });
  const add = el('button', { type: 'button', class: 'wf-add' }, 'Add step');
  const node = el('div', { class: 'workflow', 'data-depth': depth }, label, list, add, count);

  function refresh() {
    add.disabled = steps.length >= limits.maxWorkflowSteps;
    count.textContent = `${steps.length} of at most ${limits.maxWorkflowSteps} steps`;
    for (const step of steps) step.refreshLimits();
  }

  add.addEventListener('click', () => {
    if (steps.length >= limits.maxWorkflowSteps) return;
    const step = stepEditor(depth, () => {
      steps.splice(steps.indexOf(step), 1);
      step.node.remove();
      refresh();
    });
    steps.push(step);
    list.append(step.node);
    refresh();
  });

  refresh();
  return {
    node,
    refreshLimits: refresh,
    value() {
      const action = { type: 'workflow', steps: steps.map((step) => step.value()) };
      if (label.value !== '') action.label = label.value;
      return action;
    },
  };
}

function stepEditor(depth, remove) {
  const type = el('select', { class: 'wf-type' });
  const input = el('input', { type: 'text', class: 'wf-value', spellcheck: 'false' });
  const slot = el('span', { class: 'wf-slot' }, input);
  let nested = null;
  const node = el('li', {}, type, slot, el('button', { type: 'button', class: 'wf-remove', onclick: remove }, 'Remove'));

  function refreshLimits() {
    const chosen = type.value || 'system';
    const kinds = ['system', 'launch', 'url', 'shortcut'];
    if (depth + 1 < limits.maxWorkflowDepth) kinds.push('workflow');
    type.replaceChildren(...kinds.map((kind) => el('option', { value: kind }, kind)));
    type.value = kinds.includes(chosen) ? chosen : 'system';
    if (type.value !== chosen) showKind();
    if (nested) nested.refreshLimits();
  }

  function showKind() {
    if (type.value === 'workflow') {
      nested = workflowEditor(depth + 1);
      slot.replaceChildren(nested.node);
    } else {
      nested = null;
      input.value = STEP_DEFAULTS[type.value];
      slot.replaceChildren(input);
    }
  }

  type.addEventListener('change', showKind);
  refreshLimits();
  showKind();
  return {
    node,
    refreshLimits,
    value: () => (nested ? nested.value() : { type: type.value, [STEP_FIELDS[type.value]]: input.value }),
  };
}

const workflow = workflowEditor(0);
byId('workflow-editor').append(workflow.node);
byId('workflow-run').addEventListener('click', () => sendAction(workflow.value()));

// ---- Applications ----------------------------------------------------------------------------

const apps = { loaded: false, list: [] };
const iconQueue = [];
let iconLoads = 0;

const iconObserver = new IntersectionObserver((entries) => {
  for (const entry of entries) {
    if (!entry.isIntersecting) continue;
    iconObserver.unobserve(entry.target);
    iconQueue.push(entry.target);
  }
  pumpIcons();
});

// A few icons at a time: each one is rendered by the agent on request.
function pumpIcons() {
  while (iconLoads < ICON_LOADS_AT_ONCE && iconQueue.length > 0) {
    const img = iconQueue.shift();
    iconLoads += 1;
    loadIcon(img).finally(() => {
      iconLoads -= 1;
      pumpIcons();
    });
  }
}

async function loadIcon(img) {
  try {
    const answer = await agentFetch(`/app-icon?path=${encodeURIComponent(img.dataset.path)}`);
    const url = answer.body && answer.body.dataUrl;
    if (answer.status === 200 && typeof url === 'string' && url.startsWith('data:image/png;base64,')) {
      img.src = url;
    } else {
      img.classList.add('missing');
      img.title = answer.body && answer.body.message ? String(answer.body.message) : `HTTP ${answer.status}`;
    }
  } catch (error) {
    // The agent is away: try again later, if the icon is still on screen then.
    setTimeout(() => iconObserver.observe(img), RETRY_MS * 3);
  }
}

async function loadApps() {
  const answer = await agentFetch('/apps');
  const body = answer.body || {};
  if (answer.status !== 200 || !Array.isArray(body.apps)) {
    byId('apps-message').textContent = `The agent answered HTTP ${answer.status} to /apps.`;
    return;
  }
  apps.list = body.apps.filter((app) => app && typeof app === 'object');
  apps.loaded = true;
  byId('apps-message').textContent = `Listed at ${clock(body.generatedAt)}.`;
  drawApps();
}

function drawApps() {
  const filter = byId('apps-filter').value.trim().toLowerCase();
  const shown = apps.list.filter((app) => !filter ||
    String(app.name || '').toLowerCase().includes(filter) ||
    String(app.bundleId || '').toLowerCase().includes(filter));
  iconQueue.length = 0;
  byId('apps').replaceChildren(...shown.map((app) => {
    const img = el('img', { class: 'icon', alt: '', width: 48, height: 48, 'data-path': String(app.path || '') });
    iconObserver.observe(img);
    return el('li', {},
      el('button', { type: 'button', class: 'app', title: String(app.path || ''),
        onclick: () => sendAction({ type: 'launch', app: String(app.path || app.name || '') }) },
      img,
      el('span', { class: 'name' }, String(app.name || '')),
      el('span', { class: 'id' }, String(app.bundleId || ''))));
  }));
  byId('apps-count').textContent = `${shown.length} of ${apps.list.length}`;
}

byId('apps-filter').addEventListener('input', drawApps);

// ---- The cloud peer's record -----------------------------------------------------------------

async function refreshPeer() {
  try {
    const [requests, state] = await Promise.all([
      fetch('/admin/requests', { cache: 'no-store' }).then((r) => r.json()),
      fetch('/admin/state', { cache: 'no-store' }).then((r) => r.json()),
    ]);
    const uploads = requests.filter((r) => r.method === 'POST' && /\/context$/.test(r.path));
    const polls = requests.filter((r) => r.method === 'GET' && /\/actions$/.test(r.path));
    byId('peer-summary').textContent = `${uploads.length} uploads, ${polls.length} polls`;
    byId('peer-summary').dataset.uploads = uploads.length;
    byId('peer-summary').dataset.polls = polls.length;
    showField('peer-code', state.code);
    showField('peer-queued', Array.isArray(state.queued) ? String(state.queued.length) : '');
    const last = uploads[uploads.length - 1];
    let uploaded = '';
    if (last) {
      let context = {};
      try {
        context = JSON.parse(last.body);
      } catch (error) {
        context = {};
      }
      uploaded = `${clock(last.at)}: ${context.activeApp || '?'} — ${context.windowTitle || ''}`;
    }
    showField('peer-last-upload', uploaded);
    const poll = polls[polls.length - 1];
    showField('peer-last-poll', poll ? clock(poll.at) : '');
    byId('peer-requests').replaceChildren(...requests.slice(-15).reverse().map((r) =>
      el('tr', {}, el('td', {}, clock(r.at)), el('td', {}, String(r.method)), el('td', {}, String(r.path)),
        el('td', { class: 'body' }, String(r.body || '')))));
  } catch (error) {
    byId('peer-summary').textContent = 'the peer does not answer';
  }
}

// ---- Start -------------------------------------------------------------------------------------

openStream();
refreshAgentInfo();
refreshPeer();
setInterval(checkHealth, HEALTH_MS);
setInterval(refreshPeer, PEER_MS);
