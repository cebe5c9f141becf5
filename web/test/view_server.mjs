// Starts `kavro view --sim --port 0` for a test and reads the address it
// prints; stop() ends it with SIGINT (its clean stop) and waits for it.
import { spawn } from 'node:child_process';
import { mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

export const KAVRO = process.env.KAVRO_TOOL;

export async function startViewer(extra = []) {
  const dir = mkdtempSync(path.join(tmpdir(), 'kavro-view-'));
  const proc = spawn(KAVRO, ['--sim', '--cache-dir', path.join(dir, 'cache'), 'view', '--port', '0',
                             '--record-dir', dir, ...extra], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  proc.stderr.on('data', (d) => { stderr += d; });
  const url = await new Promise((resolve, reject) => {
    let out = '';
    proc.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/^(http:\/\/127\.0\.0\.1:\d+\/)$/m);
      if (m) resolve(m[1]);
    });
    proc.on('exit', (code) => reject(new Error(`kavro view ended (${code}) before serving: ${stderr}`)));
  });
  const exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal })));
  return {
    url, dir, pid: proc.pid, stderr: () => stderr,
    async stop() { proc.kill('SIGINT'); return exited; },
  };
}
