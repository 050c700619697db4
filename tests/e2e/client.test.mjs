// p11bridge-client in front of the real host (and of stand-in hosts for what the real one never
// does): what it prints for each line, --raw frames, requests without a reply, exit status, options.
// Usage: node client.test.mjs CLIENT HOST
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const [CLIENT, HOST] = process.argv.slice(2);
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'p11bridge-client-'));
process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
const standIn = (name, body) => (fs.writeFileSync(path.join(dir, name), `#!/bin/sh\n${body}\n`, { mode: 0o755 }), path.join(dir, name));
const pinReply = (command, pinLength) => `{\n\t"command" : ${command},\n\t"error" : false,\n\t"errorMessage" : "",\n\t"lastError" : 0,\n` +
  `\t"lastLowLevelError" : 0,\n\t"pinModuleName" : "",\n\t"missingPin" : false,\n\t"invalidPin" : false,\n` +
  `\t"pinLength" : ${pinLength},\n\t"ok" : true\n}`;
const frame = (text) => Buffer.concat([Buffer.from(new Uint32Array([Buffer.byteLength(text)]).buffer), Buffer.from(text)]);

// [name, arguments, standard input, standard output, exit status, standard error (empty if not given)]
const CASES = [
  ['each reply is printed with an empty line after it; empty lines and unparsable text get none', [],
    '{"command":6,"pinChar":"1"}\n\nnot json\n{"command":6,"pinChar":"2"}\n{"command":7}', // no final line feed
    `${pinReply(6, 1)}\n\n${pinReply(6, 2)}\n\n${pinReply(7, 1)}\n\n`, 0],
  ['a line is sent as one request, however long', [], `{"command":6,"pinChar":"${'1'.repeat(980)}"}\n`,
    '{\n\t"command" : -1,\n\t"error" : true,\n\t"message" : "Message too long"\n}\n\n', 0],
  ['--raw writes each frame unchanged', ['--raw'], '{"command":6,"pinChar":"1"}\n{"command":7}\n',
    Buffer.concat([frame(pinReply(6, 1)), frame(pinReply(7, 0))]), 0],
  ['after quit, lines left over neither hang the client nor change its status', [], '{"command":1}\n{"command":7}\n', '', 0,
    /^(p11bridge-client: the host stopped reading\n)?$/],
  ['the exit status is the host\'s', ['--host', standIn('exit3', 'exit 3')], '', '', 3],
  ['a host killed by a signal is reported', ['--host', standIn('killed', 'kill -KILL $$')], '', '', 1, /killed by signal 9/],
  ['a reply cut short shows only the bytes that arrived', ['--raw', '--host', standIn('cut', 'printf "\\005\\000\\000\\000ab"')],
    '', Buffer.from('\x05\x00\x00\x00ab', 'latin1'), 0, /reply cut short/],
  ['a host that cannot start is named', ['--host', path.join(dir, 'missing')], '', '', 127, /cannot start .*missing: No such file/],
  ['an unknown option is named, with the usage', ['--bogus'], '', '', 2, /unknown argument '--bogus'\nusage: /],
  ['--host without a path says so', ['--host'], '', '', 2, /--host needs the path/],
];

for (const [name, args, input, stdout, status, stderr = /^$/] of CASES) test(name, () => {
  const result = spawnSync(CLIENT, ['--host', HOST, ...args], { input, timeout: 10000 });
  assert.equal(result.error, undefined, 'the client hung');
  assert.deepEqual(result.stdout, Buffer.from(stdout));
  assert.equal(result.status, status);
  assert.match(result.stderr.toString(), stderr);
});
