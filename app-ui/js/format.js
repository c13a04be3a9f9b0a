// Pure text formatting for sizes, rates, times and download phases. No DOM access.

const UNITS = ['B', 'KB', 'MB', 'GB', 'TB'];

/** 1536 → "1.5 KB"; whole bytes below 1 KB; one decimal above. */
export function formatBytes(value) {
  let size = Number(value);
  if (!Number.isFinite(size) || size < 0) return '—';
  let unit = 0;
  while (size >= 1024 && unit < UNITS.length - 1) {
    size /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${Math.round(size)} B` : `${size.toFixed(1)} ${UNITS[unit]}`;
}

export function formatRate(bytesPerSecond) {
  if (!Number.isFinite(bytesPerSecond) || bytesPerSecond <= 0) return '';
  return `${formatBytes(bytesPerSecond)}/s`;
}

/** Remaining time as a short Chinese phrase: "约 8 秒", "约 3 分 05 秒", "约 1 小时 02 分". */
export function formatRemaining(seconds) {
  if (!Number.isFinite(seconds) || seconds < 0) return '';
  const total = Math.ceil(seconds);
  if (total < 60) return `约 ${total} 秒`;
  const hours = Math.floor(total / 3600);
  const minutes = Math.floor((total % 3600) / 60);
  const secs = total % 60;
  const pad = (n) => String(n).padStart(2, '0');
  return hours > 0 ? `约 ${hours} 小时 ${pad(minutes)} 分` : `约 ${minutes} 分 ${pad(secs)} 秒`;
}

/** Player clock: 75 → "01:15", 3725 → "1:02:05". */
export function formatClock(seconds) {
  const total = Number.isFinite(seconds) && seconds > 0 ? Math.floor(seconds) : 0;
  const pad = (n) => String(n).padStart(2, '0');
  const hours = Math.floor(total / 3600);
  const rest = `${pad(Math.floor((total % 3600) / 60))}:${pad(total % 60)}`;
  return hours > 0 ? `${hours}:${rest}` : rest;
}

/** Whole percent of downloaded/total, clamped to 0..100, or null when the total is unknown. */
export function percentOf(downloaded, total) {
  const done = Number(downloaded);
  const whole = Number(total);
  if (!Number.isFinite(done) || !Number.isFinite(whole) || whole <= 0) return null;
  return Math.max(0, Math.min(100, Math.floor((done * 100) / whole)));
}

const PHASES = {
  authorizing: '正在获取授权',
  downloading: '正在下载',
  completed: '已完成',
  failed: '下载失败',
  paused: '已暂停',
  waitingForNetwork: '等待网络连接，恢复后自动继续',
  meteredNetwork: '当前为计量网络，暂不下载',
};

export function phaseLabel(phase) {
  return PHASES[phase] ?? '正在处理';
}
