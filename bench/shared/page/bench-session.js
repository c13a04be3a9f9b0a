// The benchmark drivers' shared steps in the packaged page: signing in with a stored session,
// waiting for a condition, and posting the report (window.benchConfig: report, ownerKey).
const config = window.benchConfig;
const LIMIT_MS = 120000;

export const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
export const send = (command) => window.webkit.messageHandlers.velmora.postMessage(command);

export async function until(test, what, limitMs = LIMIT_MS) {
  const end = performance.now() + limitMs;
  while (!test()) {
    if (performance.now() > end) throw new Error(`no ${what} within ${limitMs} ms`);
    await pause(10);
  }
}

/**
 * True once the page shows a signed-in session. Without one, stores a session for the benchmark's
 * account and reloads the page (the driver starts again there) and gives false.
 */
export async function signedIn() {
  await until(() => document.body.classList.contains('signed-in') || document.querySelector('.signin form'), 'started page');
  if (document.body.classList.contains('signed-in')) return true;
  send({ type: 'saveSession', token: 'bench-token', ownerKey: config.ownerKey, userName: '基准测试' });
  await pause(300);
  location.reload();
  return false;
}

/** Runs `steps()` once signed in and posts what it gives, or the error, to the benchmark. */
export async function drive(steps) {
  const report = (body) => fetch(config.report, { method: 'POST', mode: 'no-cors', body: JSON.stringify(body) });
  try {
    if (await signedIn()) await report(await steps());
  } catch (error) {
    await report({ error: String(error?.message ?? error) });
  }
}
