// Navigates Chromium's first tab COUNT times through the DevTools protocol and times each
// navigation from the command to the new address on the agent's /events stream.
// Usage: node --experimental-websocket browser_navigate.mjs DEVTOOLS_URL PAGES_URL COUNT
const [devtools, pages, count] = process.argv.slice(2);
const targets = await (await fetch(`${devtools}/json/list`)).json();
const page = targets.find((t) => t.type === 'page');
const socket = new WebSocket(page.webSocketDebuggerUrl);
await new Promise((resolve, reject) => { socket.onopen = resolve; socket.onerror = reject; });

const waiting = new Map(); // address -> resolve
const events = await fetch('http://127.0.0.1:17345/events');
(async () => {
  let text = '';
  for await (const chunk of events.body) {
    text += Buffer.from(chunk).toString();
    let end;
    while ((end = text.indexOf('\n')) >= 0) {
      const line = text.slice(0, end);
      text = text.slice(end + 1);
      const match = /"browserUrl":"([^"]*)"/.exec(line);
      if (match && waiting.has(match[1])) waiting.get(match[1])(performance.now());
    }
  }
})();

const times = [];
for (let i = 1; i <= Number(count); i++) {
  const url = `${pages}/p${i}.html`;
  const seen = new Promise((resolve) => waiting.set(url, resolve));
  const start = performance.now();
  socket.send(JSON.stringify({ id: i, method: 'Page.navigate', params: { url } }));
  const at = await Promise.race([seen, new Promise((r) => setTimeout(() => r(null), 10000))]);
  if (at === null) throw new Error(`navigation ${i} never reached /events`);
  times.push(at - start);
  await new Promise((r) => setTimeout(r, 300));
}
times.sort((a, b) => a - b);
const median = (times[(times.length - 1) >> 1] + times[times.length >> 1]) / 2;
const p99 = times[Math.min(times.length - 1, Math.ceil(times.length * 0.99) - 1)];
console.log(`navigation to /events over ${times.length}: median ${median.toFixed(1)} ms, ` +
  `p99 ${p99.toFixed(1)} ms, max ${times[times.length - 1].toFixed(1)} ms`);
process.exit(0);
