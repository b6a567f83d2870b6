// The try-it console in headless Chromium: live context, the application list, actions through
// both routes, refusals shown as returned, and the stream surviving an agent restart.
// Started by ../console_e2e.sh, which provides the desktop, the peer and these variables.
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdirSync, openSync, readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const env = process.env;
const require = createRequire(path.join(env.CONSOLE_E2E_MODULES, 'package.json'));
const { chromium } = require('playwright-core');

const AGENT_URL = 'http://127.0.0.1:17345';
const WAIT_MS = 20000;
// A second name for 127.0.0.1: a page served from it is on a foreign origin for the agent.
const FOREIGN_HOST = 'console.test';

let passed = 0;
let failed = 0;
async function check(name, body) {
  try {
    await body();
    passed += 1;
    console.log(`ok - ${name}`);
  } catch (error) {
    failed += 1;
    console.log(`not ok - ${name}\n  ${String(error && error.stack ? error.stack : error).replace(/\n/g, '\n  ')}`);
  }
}

function assert(condition, message) {
  if (!condition) throw new Error(message);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(what, probe, ms = WAIT_MS) {
  const deadline = Date.now() + ms;
  for (;;) {
    try {
      if (await probe()) return;
    } catch (error) {
      // not yet
    }
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(100);
  }
}

// ---- The agent, started and stopped by pid ------------------------------------------------

let agent = null;
let agentRuns = 0;

async function startAgent(...args) {
  agentRuns += 1;
  const log = openSync(path.join(env.CONSOLE_E2E_LOGS, `agent-${agentRuns}.log`), 'w');
  agent = spawn(env.CONSOLE_E2E_AGENT, args, { stdio: ['ignore', log, log] });
  agent.exited = new Promise((resolve) => agent.once('exit', resolve));
  // The port is fixed: make sure the agent answering is this one, not another left running.
  await until(`agent ${agent.pid} to listen on 17345 (${listenerOf17345() || 'nobody'} does)`,
    async () => listenerOf17345().includes(`pid=${agent.pid},`));
  await until('the agent to answer /health', async () => (await fetch(`${AGENT_URL}/health`)).ok);
}

function listenerOf17345() {
  return execFileSync('ss', ['-Hltnp', 'sport = :17345'], { encoding: 'utf8' }).trim();
}

async function stopAgent() {
  if (!agent) return;
  agent.kill('SIGTERM');
  const gone = await Promise.race([agent.exited.then(() => true), sleep(5000).then(() => false)]);
  if (!gone) {
    agent.kill('SIGKILL');
    await agent.exited;
  }
  agent = null;
}

function agentLogs() {
  let text = '';
  for (let i = 1; i <= agentRuns; i += 1) {
    const file = path.join(env.CONSOLE_E2E_LOGS, `agent-${i}.log`);
    if (existsSync(file)) text += readFileSync(file, 'utf8');
  }
  return text;
}

// ---- Page helpers ---------------------------------------------------------------------------

const text = (page, selector) => page.locator(selector).first().textContent();

async function answerCount(page) {
  return page.locator('#answers > li').count();
}

// Runs `act`, waits for its answer entry (the newest), and returns what it shows.
async function answerOf(page, act) {
  const before = await answerCount(page);
  await act();
  await until('an answer in the page', async () => (await answerCount(page)) > before);
  const entry = page.locator('#answers > li').first();
  await until('the answer to be timed', async () => (await entry.locator('.took').textContent()) !== '');
  return {
    ok: (await entry.getAttribute('class')) === 'ok',
    status: await entry.locator('.status').textContent(),
    message: await entry.locator('.message').textContent(),
  };
}

async function openRawForm(page) {
  await page.evaluate(() => { document.querySelector('details').open = true; });
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

// ---- The run ----------------------------------------------------------------------------------

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  chromiumSandbox: false,
  headless: true,
  args: ['--disable-gpu', '--disable-dev-shm-usage', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic',
    `--host-resolver-rules=MAP ${FOREIGN_HOST} 127.0.0.1`],
});

try {
  await startAgent(env.CONSOLE_E2E_PAIRING);
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  const pageErrors = [];
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  page.on('dialog', (dialog) => {
    pageErrors.push(`dialog: ${dialog.message()}`);
    dialog.dismiss();
  });
  await page.goto(`${env.CONSOLE_E2E_PEER}/`);

  await check('the live context shows the front window, its title as plain text', async () => {
    await until('the stream to be live', async () => (await text(page, '#stream-state')) === 'live');
    await until('the xterm title', async () => (await text(page, '#ctx-windowTitle')) === env.CONSOLE_E2E_TITLE);
    assert((await text(page, '#ctx-activeApp')) !== '—', 'no front app');
    assert((await page.locator('#ctx-windowTitle b').count()) === 0, 'the title was inserted as markup');
    assert((await page.getAttribute('#agent-state', 'data-state')) === 'online', 'agent not shown as online');
  });

  await check('health and capabilities show, with a button per published system control', async () => {
    await until('health', async () => (await text(page, '#health')).startsWith('ok'));
    assert((await text(page, '#cap-platform')) === 'linux', 'platform');
    await until('system buttons', async () => (await page.locator('#system-buttons button').count()) === 6);
    assert((await text(page, '#cap-limits')).includes('at most 12 workflow steps'), 'limits');
  });

  await check('the application list renders icons and odd names as text; a click launches', async () => {
    // Icons load only once they are on screen.
    await page.locator('#apps-panel').scrollIntoViewIfNeeded();
    await until('an icon rendered', () => page.evaluate(() =>
      [...document.querySelectorAll('#apps img.icon')].some((img) => img.complete && img.naturalWidth > 0)));
    await page.fill('#apps-filter', 'probe');
    await until('the probe app alone', async () => (await page.locator('#apps .app').count()) === 1);
    const name = await text(page, '#apps .app .name');
    assert(name === 'Probe <img src=x onerror=alert(1)> & Ünïcødé', `name shown as ${name}`);
    assert((await page.locator('#apps .app .name img').count()) === 0, 'the name was inserted as markup');
    await until('the probe icon', () => page.evaluate(() => document.querySelector('#apps img.icon').naturalWidth > 0));
    const answer = await answerOf(page, () => page.click('#apps .app'));
    assert(answer.ok && /^Launched \/.*console-probe\.desktop$/.test(answer.message), `answer ${answer.message}`);
    await until('the launched mark', async () => existsSync(env.CONSOLE_E2E_LAUNCHED));
    await page.fill('#apps-filter', '');
  });

  await check('a workflow built in the editor runs, and its message is shown as returned', async () => {
    await page.fill('#workflow-editor .wf-label', 'Smoke test');
    await page.click('#workflow-editor .wf-add');
    await page.click('#workflow-editor .wf-add');
    await page.locator('#workflow-editor .wf-value').nth(1).fill('volume-down');
    const answer = await answerOf(page, () => page.click('#workflow-run'));
    assert(answer.ok && answer.status === '200 OK', `status ${answer.status}`);
    assert(answer.message === 'Smoke test ran 2 steps', `message ${answer.message}`);
  });

  await check('the workflow editor stops at the published step and depth limits', async () => {
    const top = page.locator('#workflow-editor > .workflow > .wf-add');
    while (!(await top.isDisabled())) await top.click();
    assert((await page.locator('#workflow-editor > .workflow > .wf-steps > li').count()) === 12, 'not 12 steps');
    // Nest twice: the editor at depth 2 offers no further workflow.
    await page.locator('#workflow-editor .wf-type').first().selectOption('workflow');
    const depth1 = page.locator('.workflow[data-depth="1"]').first();
    await depth1.locator('.wf-add').first().click();
    await depth1.locator('.wf-type').first().selectOption('workflow');
    const depth2 = page.locator('.workflow[data-depth="2"]').first();
    await depth2.locator('.wf-add').first().click();
    const offered = await depth2.locator('.wf-type').first().locator('option').allTextContents();
    assert(!offered.includes('workflow') && offered.includes('system'), `depth 2 offers ${offered}`);
    const answer = await answerOf(page, () => page.click('#workflow-run'));
    assert(answer.message === 'Smoke test ran 12 steps', `message ${answer.message}`);
  });

  await check('a refused action shows the agent\'s own message', async () => {
    await page.fill('#url-input', 'ftp://example.com/file');
    const answer = await answerOf(page, () => page.click('#url-form button'));
    assert(!answer.ok && answer.status === '400 Bad Request', `status ${answer.status}`);
    assert(answer.message === 'Only http and https URLs are allowed', `message ${answer.message}`);
  });

  await check('an action queued through the peer reaches the agent at its next poll', async () => {
    const polls = async () => Number(await page.getAttribute('#peer-summary', 'data-polls'));
    await until('the peer to show polls', async () => (await polls()) > 0);
    const pollsBefore = await polls();
    await page.check('input[name="route"][value="cloud"]');
    await openRawForm(page);
    await page.fill('#raw-input', '{"type":"workflow","label":"From the cloud","steps":[]}');
    const answer = await answerOf(page, () => page.click('#raw-form button'));
    assert(answer.ok && answer.message.startsWith('Queued for the agent'), `answer ${answer.message}`);
    await until('the agent log line', async () => agentLogs().includes('Cloud action: From the cloud ran 0 steps'));
    await until('more polls shown', async () =>
      Number(await page.getAttribute('#peer-summary', 'data-polls')) > pollsBefore);
    assert(Number(await page.getAttribute('#peer-summary', 'data-uploads')) > 0, 'no uploads shown');
    await page.check('input[name="route"][value="local"]');
  });

  await check('a screenshot of the console is saved', async () => {
    mkdirSync(env.CONSOLE_E2E_SHOTS, { recursive: true });
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: path.join(env.CONSOLE_E2E_SHOTS, 'console.png'), fullPage: true });
  });

  let timings = {};
  await check('ten clicks each: an action\'s time from click to answer shown', async () => {
    for (const [name, act] of [
      ['volume-up', () => page.click('#system-buttons button[data-control="volume-up"]')],
      ['empty workflow', async () => {
        await openRawForm(page);
        await page.fill('#raw-input', '{"type":"workflow","label":"Empty","steps":[]}');
        await page.click('#raw-form button');
      }],
    ]) {
      const start = await page.evaluate(() => window.vantorTimings.length);
      for (let i = 0; i < 10; i += 1) {
        const answer = await answerOf(page, act);
        assert(answer.ok, `${name}: ${answer.message}`);
      }
      const ms = await page.evaluate((from) => window.vantorTimings.slice(from), start);
      timings[name] = median(ms);
    }
  });

  await check('with the agent stopped the page says so, and the stream resumes after a restart', async () => {
    const eventsBefore = Number(await text(page, '#event-count'));
    await stopAgent();
    await until('disconnected state', async () => (await text(page, '#stream-state')) === 'disconnected, retrying');
    await until('the stopped line', async () => (await page.getAttribute('#agent-state', 'data-state')) === 'stopped');
    assert((await text(page, '#agent-state')).includes('not running'), 'no words for a stopped agent');
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: path.join(env.CONSOLE_E2E_SHOTS, 'console-stopped.png') });
    const refused = await answerOf(page, () => page.click('#system-buttons button[data-control="volume-up"]'));
    assert(!refused.ok && refused.message === 'The agent is not running: nothing was sent.', refused.message);
    await startAgent();
    await until('the stream to be live again', async () => (await text(page, '#stream-state')) === 'live');
    await until('a new event', async () => Number(await text(page, '#event-count')) > eventsBefore);
    assert((await page.getAttribute('#agent-state', 'data-state')) === 'online', 'not online again');
    assert((await text(page, '#ctx-windowTitle')) === env.CONSOLE_E2E_TITLE, 'context not shown again');
  });

  await check('a page on a foreign origin is told it is refused, and recovers once allowed', async () => {
    const peerPort = new URL(env.CONSOLE_E2E_PEER).port;
    const foreign = `http://${FOREIGN_HOST}:${peerPort}`;
    const other = await browser.newPage();
    await other.goto(`${foreign}/`);
    await until('the refused line', async () => (await other.getAttribute('#agent-state', 'data-state')) === 'refused');
    assert((await text(other, '#agent-state')).includes('403 Forbidden'), 'no words for a refusal');
    assert((await text(other, '#stream-state')) === 'disconnected, retrying', 'stream not shown as down');
    // Pairing the running agent with that origin lifts the refusal; the page notices alone.
    const handOver = spawn(env.CONSOLE_E2E_AGENT,
      [`VANTOR_CLOUD_URL=${foreign} VANTOR_PAIR_CODE=CONSOLE1 VANTOR_PAIR_SECRET=console-secret`],
      { stdio: 'ignore' });
    await new Promise((resolve) => handOver.once('exit', resolve));
    await until('the foreign page live', async () => (await text(other, '#stream-state')) === 'live');
    assert((await other.getAttribute('#agent-state', 'data-state')) === 'online', 'not online');
    await other.close();
  });

  await check('no script errors or dialogs in the page', async () => {
    assert(pageErrors.length === 0, pageErrors.join('; '));
  });

  for (const [name, ms] of Object.entries(timings)) {
    console.log(`click to answer shown, ${name}: median of 10 = ${ms.toFixed(1)} ms`);
  }
} finally {
  await browser.close();
  await stopAgent();
}

console.log(`console e2e: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
