// Download failures in the learner's language. The native side passes the platform's own text
// (curl, the file system) unchanged; the page names the kind of failure in one Chinese sentence and
// keeps that text as the detail. The service's own Chinese messages are shown as they are. Pure.

// First match wins: disk before transport, since a write failure may also end the connection, and a
// reset before TLS, since curl names the TLS layer that saw the reset.
const KINDS = [
  [/no space left|disk full|quota exceeded/i, '磁盘空间不足'],
  [/read-only file system|permission denied|operation not permitted/i, '无法写入本机的离线课程目录'],
  [/could ?n[o']t resolve|name or service not known|name resolution/i, '无法解析服务器地址'],
  [/network is unreachable|no route to host/i, '网络不可用'],
  [/could ?n[o']t connect|failed to connect|connection refused/i, '无法连接到服务器'],
  [/timed? ?out|too slow/i, '连接超时'],
  [/connection (was )?(reset|closed|aborted)|broken pipe|recv failure|send failure|empty reply|transfer closed|partial file|failure when receiving/i, '连接意外中断'],
  [/ssl|tls|certificate/i, '安全连接失败'],
];
const GENERIC = '出现了意外错误';
const CHINESE = /[\u3400-\u9fff]/;

/** The Chinese sentence for the kind of failure a platform text describes. */
export function failureKind(platformText) {
  const text = String(platformText ?? '');
  return KINDS.find(([pattern]) => pattern.test(text))?.[1] ?? GENERIC;
}

/** curl's texts put the kind last: "Failed to connect to … after 0 ms: Couldn't connect to server". */
function detailOf(text) {
  const tail = text.slice(text.lastIndexOf(': ') + 2).trim();
  return text.includes(': ') && tail ? tail : text;
}

/**
 * "下载中断：无法连接到服务器（Couldn't connect to server）" for a platform text; a message that is
 * already Chinese (the service's, or the app's own) reads "<lead>：<message>".
 */
export function explainFailure(lead, message) {
  const text = String(message ?? '').trim();
  if (CHINESE.test(text)) return `${lead}：${text}`;
  return `${lead}：${failureKind(text)}（${detailOf(text)}）`;
}
