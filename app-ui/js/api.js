// The classroom service's API, reached through the native proxy ("apiRequest"). Answers are JSON
// objects {"code": 0, "msg": …, "data": …}; anything else becomes an ApiError with a readable text.

export class ApiError extends Error {
  /** kind: "network" (no answer), "auth" (HTTP 401) or "service" (any other refusal). */
  constructor(message, kind, status = 0) {
    super(message);
    this.name = 'ApiError';
    this.kind = kind;
    this.status = status;
  }
}

function parseJson(text) {
  try {
    return JSON.parse(text);
  } catch {
    return null;
  }
}

/** Turns a "nativeResponse" into the answer's "data", or throws an ApiError. Pure. */
export function interpretReply(reply) {
  if (!reply || reply.ok !== true) {
    throw new ApiError(`无法连接课堂服务：${reply?.message || '网络请求失败'}`, 'network');
  }
  const result = reply.result ?? {};
  const status = Number(result.status) || 0;
  const answer = parseJson(String(result.body ?? ''));
  const ok = status >= 200 && status <= 299;
  if (ok && answer && typeof answer === 'object' && answer.code === 0) return answer.data ?? null;
  const message = (answer && typeof answer.msg === 'string' && answer.msg) ||
    result.message || `服务响应异常（HTTP ${status}）`;
  throw new ApiError(message, status === 401 ? 'auth' : 'service', status);
}

export class ApiClient {
  /**
   * `tokenSource()` gives the signed-in token or ""; `onAnswered()` is called whenever the service
   * answered a call, whatever it said.
   */
  constructor(bridge, tokenSource, onAnswered = () => {}) {
    this.bridge = bridge;
    this.tokenSource = tokenSource;
    this.onAnswered = onAnswered;
  }

  async call(method, path, body) {
    const headers = { Accept: 'application/json', 'X-Velmora-Client': 'desktop' };
    const token = this.tokenSource();
    if (token) headers.Authorization = `Bearer ${token}`;
    const command = { type: 'apiRequest', path, method, headers };
    if (body !== undefined) {
      headers['Content-Type'] = 'application/json';
      command.jsonBody = JSON.stringify(body);
    }
    const reply = await this.bridge.request(command);
    if (reply?.ok === true) this.onAnswered();
    return interpretReply(reply);
  }

  get(path) {
    return this.call('GET', path);
  }

  post(path, body) {
    return this.call('POST', path, body ?? {});
  }
}
