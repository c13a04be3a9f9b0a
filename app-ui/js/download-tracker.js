// The state of one lesson download as the page shows it, built from the native download events.
// Pure: the caller passes the clock, so rate and remaining time are testable.

import { formatRate, formatRemaining, percentOf, phaseLabel } from './format.js';

const RATE_WINDOW_MS = 5000;

function count(value) {
  const number = Number(value);
  return Number.isFinite(number) && number > 0 ? number : 0;
}

export class DownloadTracker {
  constructor(assetId) {
    this.assetId = assetId;
    this.phase = 'authorizing';
    this.downloaded = 0;
    this.total = 0;
    this.message = '';
    this.samples = [];
  }

  /** Applies one "downloadProgress", "downloadCompleted" or "downloadFailed" event. */
  apply(event, nowMs) {
    if (event.type === 'downloadProgress') {
      if (event.phase === 'authorizing') this.samples = [];
      this.phase = String(event.phase ?? 'downloading');
      this.downloaded = count(event.downloaded);
      this.total = count(event.total);
      this.message = '';
      this.samples.push({ at: nowMs, bytes: this.downloaded });
      this.samples = this.samples.filter((s) => nowMs - s.at <= RATE_WINDOW_MS);
    } else if (event.type === 'downloadCompleted') {
      this.phase = 'completed';
      if (this.total > 0) this.downloaded = this.total;
    } else if (event.type === 'downloadFailed') {
      this.phase = 'failed';
      this.message = String(event.message || '离线下载失败');
      this.samples = [];
    }
    return this;
  }

  get active() {
    return this.phase === 'authorizing' || this.phase === 'downloading';
  }

  get percent() {
    if (this.phase === 'completed') return 100;
    return percentOf(this.downloaded, this.total);
  }

  /** Bytes per second over the last few seconds, or null before there are two samples. */
  rate(nowMs) {
    const recent = this.samples.filter((s) => nowMs - s.at <= RATE_WINDOW_MS);
    if (recent.length < 2) return null;
    const first = recent[0];
    const last = recent[recent.length - 1];
    const seconds = (last.at - first.at) / 1000;
    if (seconds <= 0 || last.bytes < first.bytes) return null;
    return (last.bytes - first.bytes) / seconds;
  }

  /** Seconds left at the current rate, or null when the total or the rate is unknown. */
  remaining(nowMs) {
    const rate = this.rate(nowMs);
    if (!this.total || !rate) return null;
    return Math.max(0, this.total - this.downloaded) / rate;
  }

  /** One line for the progress bar: "正在下载 42% · 1.2 MB/s · 剩余约 5 秒". */
  describe(nowMs) {
    if (this.phase === 'failed') return `${phaseLabel('failed')}：${this.message}`;
    if (this.phase !== 'downloading') return phaseLabel(this.phase);
    const parts = [phaseLabel('downloading')];
    const percent = this.percent;
    if (percent !== null) parts[0] += ` ${percent}%`;
    const rate = formatRate(this.rate(nowMs));
    if (rate) parts.push(rate);
    const left = formatRemaining(this.remaining(nowMs));
    if (left) parts.push(`剩余${left}`);
    return parts.join(' · ');
  }
}
