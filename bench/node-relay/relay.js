'use strict';
// The relay a team would otherwise write: Node.js with the `ws` package,
// speaking ktwebserver's session protocol on /websocket (login against
// server.properties, commands forwarded over the device link, every text of
// the control service broadcast in the JSON envelope to logged-in clients).
// Used only as the yardstick of the relay benchmark.
//   node relay.js PORT DEVLINK_SOCKET SERVER_PROPERTIES
const fs = require('fs');
const net = require('net');
const { WebSocketServer } = require('ws');

const [port, socketPath, propsPath] = process.argv.slice(2);
const LOGIN_REPLY = '{"type":"result","comName":"","command":"","result":1}';
const SLOTS = [['adminName', 'adminPassWord']];
for (let i = 1; i <= 5; i++) SLOTS.push([`userName${i}`, `userPassWord${i}`]);

const monoMs = () => process.hrtime.bigint() / 1000000n;

function credentialOk(text) {
  // Read at every login, as ktwebserver does: a changed password counts at once.
  const props = {};
  for (const line of fs.readFileSync(propsPath, 'latin1').split('\n')) {
    const eq = line.indexOf('=');
    if (eq > 0) props[line.slice(0, eq)] = line.slice(eq + 1).split('=')[0];
  }
  return SLOTS.some(([n, p]) => props[n] && `${props[n]} ${props[p] || ''}` === text);
}

// Device link: 32-bit big-endian length, then the payload.
const link = net.connect(socketPath);
let pending = Buffer.alloc(0);
const clients = new Set();
link.on('data', (chunk) => {
  pending = pending.length ? Buffer.concat([pending, chunk]) : chunk;
  while (pending.length >= 4) {
    const len = pending.readUInt32BE(0);
    if (pending.length < 4 + len) break;
    const text = pending.toString('latin1', 4, 4 + len);
    pending = pending.subarray(4 + len);
    const envelope = `{"comName":"ALL","command":${JSON.stringify(text)},"result":0,"type":"command"}\n`;
    for (const ws of clients) if (ws.loggedIn) ws.send(envelope);
  }
});
link.on('error', (e) => { console.error('device link:', e.message); process.exit(1); });

function sendCommand(ws, text) {
  const data = Buffer.from(text, 'utf8');
  const frame = Buffer.alloc(4 + 20 + data.length);
  frame.writeUInt32BE(20 + data.length, 0);
  frame.writeInt32BE(ws.sn, 4);
  frame.writeBigInt64BE(ws.connTime, 8);
  frame.writeBigInt64BE(monoMs(), 16);
  data.copy(frame, 24);
  link.write(frame);
}

let nextSn = 30001;
const wss = new WebSocketServer({ host: '0.0.0.0', port: Number(port), path: '/websocket' });
wss.on('connection', (ws) => {
  ws.sn = nextSn++;
  ws.connTime = monoMs();
  ws.loggedIn = false;
  clients.add(ws);
  ws.on('message', (data, isBinary) => {
    if (isBinary) return;
    let msg;
    try { msg = JSON.parse(data.toString()); } catch { return; }
    const command = msg.command == null ? '' : String(msg.command);
    if (msg.type === 'login') {
      if (!credentialOk(command)) return;
      ws.loggedIn = true;
      ws.send(LOGIN_REPLY);
    } else if (msg.type === 'command') {
      if (!ws.loggedIn) { ws.close(); return; }
      sendCommand(ws, command);
    }
  });
  ws.on('close', () => clients.delete(ws));
  ws.on('error', () => {});
});
wss.on('listening', () => console.log('ready'));
for (const sig of ['SIGTERM', 'SIGINT']) process.on(sig, () => process.exit(0));
