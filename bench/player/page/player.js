// Plays each source of window.benchConfig in a fresh video element, in blocks that alternate the
// sources, and posts the timings to the benchmark: the time to the first frame (loadeddata), then for
// each seeded random seek the time from setting currentTime to "seeked" and to the first "timeupdate"
// after it with playback past the target.
(() => {
  const config = window.benchConfig;
  const LIMIT_MS = 60000;

  // mulberry32: the same seek targets in every run.
  const random = (seed) => () => {
    seed = (seed + 0x6d2b79f5) >>> 0;
    let t = Math.imul(seed ^ (seed >>> 15), seed | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };

  const when = (video, name, test = () => true) => new Promise((resolve, reject) => {
    const stop = () => {
      clearTimeout(timer);
      video.removeEventListener(name, listener);
      video.removeEventListener('error', failed);
    };
    const listener = () => { if (test()) { stop(); resolve(performance.now()); } };
    const failed = () => { stop(); reject(new Error(`media error ${video.error && video.error.code} waiting for ${name}`)); };
    const timer = setTimeout(() => { stop(); reject(new Error(`no ${name} within ${LIMIT_MS} ms`)); }, LIMIT_MS);
    video.addEventListener(name, listener);
    video.addEventListener('error', failed);
  });

  const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

  async function block(source, targets) {
    const video = document.createElement('video');
    video.muted = true;  // the virtual display has no sound output
    video.autoplay = true;
    document.body.append(video);
    const start = performance.now();
    const loaded = when(video, 'loadeddata');
    video.src = source.src;
    const result = { source: source.name, firstFrameMs: (await loaded) - start, seekedMs: [], playingMs: [] };
    for (const fraction of targets) {
      const target = 1 + fraction * (video.duration - 15);
      const seekStart = performance.now();
      const seeked = when(video, 'seeked');
      video.currentTime = target;
      result.seekedMs.push((await seeked) - seekStart);
      const playing = await when(video, 'timeupdate', () => !video.seeking && video.currentTime > target + 0.01);
      result.playingMs.push(playing - seekStart);
      await pause(100);
    }
    video.pause();
    video.removeAttribute('src');
    video.load();
    video.remove();
    return result;
  }

  async function run() {
    const next = random(config.seed);
    const targets = Array.from({ length: config.seeks }, next);
    const half = Math.ceil(targets.length / 2);
    const [offline, plain] = config.sources;
    const blocks = [];
    for (const [source, from, to] of [[offline, 0, half], [plain, 0, half], [plain, half, targets.length], [offline, half, targets.length]]) {
      blocks.push(await block(source, targets.slice(from, to)));
    }
    return { blocks };
  }

  const report = (body) => fetch(config.report, { method: 'POST', mode: 'no-cors', body: JSON.stringify(body) });
  window.addEventListener('load', () => run().then(report, (error) => report({ error: String(error && error.message || error) })));
})();
