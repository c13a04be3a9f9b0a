// The state of one lesson download as the page shows it, built from the native download events.
// Pure: the caller passes the clock, so rate and remaining time are testable.

import { explainFailure, failureKind } from './failure-text.js';
import { formatRate, formatRemaining, percentOf, phaseLabel } from './format.js';

const RATE_WINDOW_MS = 5000;
// Without a new sample for this long the transfer is stalled: no rate and no time left is shown.
const STALE_MS = 3000;
// Phases in which the native side holds the download and carries it on by itself.
const IN_FLIGHT = new Set(['authorizing', 'downloading', 'retrying', 'waitingForNetwork', 'meteredNetwork']);

/**
 * The phase of a download the native side lists as not ended: one the page can name, else paused,
 * so that the learner is offered 继续 and 取消 rather than a row that reads "正在处理" for ever.
 */
export function heldPhase(phase) {
  return IN_FLIGHT.has(phase) || phase === 'paused' ? phase : 'paused';
}

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
    this.reason = '';
    this.retryAt = null;
    this.samples = [];
  }

  /**
   * Applies one "downloadProgress", "downloadCompleted" or "downloadFailed" event. Progress phases:
   * authorizing, downloading, completed, and the ones without a transfer: paused (optional "reason",
   * the platform's text when the pause was not the learner's), waitingForNetwork, retrying ("reason",
   * "retryInSeconds") and meteredNetwork.
   */
  apply(event, nowMs) {
    if (event.type === 'downloadProgress') {
      this.phase = String(event.phase ?? 'downloading');
      this.downloaded = count(event.downloaded);
      this.total = count(event.total);
      this.message = '';
      this.reason = typeof event.reason === 'string' ? event.reason.trim() : '';
      this.retryAt = this.phase === 'retrying' && count(event.retryInSeconds) > 0 ? nowMs + count(event.retryInSeconds) * 1000 : null;
      // A rate spans one stretch of transfer: after a start, a wait or a pause it is measured anew
      // from chunks alone (a resume's authorisation reports no bytes, which would read as a burst).
      if (this.phase !== 'downloading') this.samples = [];
      else this.samples = [...this.samples, { at: nowMs, bytes: this.downloaded }].filter((s) => nowMs - s.at <= RATE_WINDOW_MS);
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

  /** The native side holds the download (running or waiting to run on): it takes a queue slot. */
  get active() {
    return IN_FLIGHT.has(this.phase);
  }

  /** Stopped with its bytes kept, by the learner or by an interruption; "resumeDownload" carries it on. */
  get paused() {
    return this.phase === 'paused';
  }

  get percent() {
    if (this.phase === 'completed') return 100;
    return percentOf(this.downloaded, this.total);
  }

  /** Bytes per second over the last few seconds, or null before there are two samples or while stalled. */
  rate(nowMs) {
    const recent = this.samples.filter((s) => nowMs - s.at <= RATE_WINDOW_MS);
    if (this.phase !== 'downloading' || recent.length < 2) return null;
    const first = recent[0];
    const last = recent[recent.length - 1];
    if (nowMs - last.at > STALE_MS) return null;
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

  /** "已暂停 · 42%": a state without a rate, with the percent when the total is known. */
  withPercent(label) {
    const percent = this.percent;
    return percent === null ? label : `${label} · ${percent}%`;
  }

  retryText(nowMs) {
    const kind = this.reason ? failureKind(this.reason) : '无法连接到服务器';
    if (this.retryAt === null) return `${kind}，正在重试`;
    return `${kind}，${Math.max(1, Math.ceil((this.retryAt - nowMs) / 1000))} 秒后重试`;
  }

  /** One line for the progress bar: "正在下载 42% · 1.2 MB/s · 剩余约 5 秒". */
  describe(nowMs) {
    if (this.phase === 'failed') return explainFailure(phaseLabel('failed'), this.message);
    if (this.phase === 'paused' && this.reason) return explainFailure('下载中断', this.reason);
    if (this.phase === 'retrying') return this.withPercent(this.retryText(nowMs));
    if (['paused', 'waitingForNetwork', 'meteredNetwork'].includes(this.phase)) return this.withPercent(phaseLabel(this.phase));
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
