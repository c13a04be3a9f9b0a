// The page's only way to the native side: commands go out through the "velmora" script message
// handler; replies and events come back as window "message" events whose data is the object.

const REQUEST_TIMEOUT_MS = 60000;

export class BridgeMissingError extends Error {
  constructor() {
    super('未检测到星禾课堂桌面端，请在桌面应用中打开。');
    this.name = 'BridgeMissingError';
  }
}

export class NativeBridge {
  /** `scope` is the window (or a stand-in with addEventListener and webkit). */
  constructor(scope = globalThis) {
    this.scope = scope;
    this.listeners = new Map();
    this.pending = new Map();
    this.sequence = 0;
    scope.addEventListener?.('message', (event) => this.receive(event.data));
  }

  get available() {
    return typeof this.scope.webkit?.messageHandlers?.velmora?.postMessage === 'function';
  }

  send(command) {
    if (!this.available) throw new BridgeMissingError();
    this.scope.webkit.messageHandlers.velmora.postMessage(command);
  }

  /** Calls `listener(data)` for every event of `type`; returns a function that stops it. */
  on(type, listener) {
    if (!this.listeners.has(type)) this.listeners.set(type, new Set());
    this.listeners.get(type).add(listener);
    return () => this.listeners.get(type)?.delete(listener);
  }

  /** Resolves with the first event of one of `types` (for commands that answer by broadcast). */
  next(types, timeoutMs = REQUEST_TIMEOUT_MS) {
    return new Promise((resolve, reject) => {
      const stops = [];
      const finish = (fn, value) => {
        stops.forEach((stop) => stop());
        clearTimeout(timer);
        fn(value);
      };
      const timer = setTimeout(() => finish(reject, new Error('桌面端没有响应，请重试')), timeoutMs);
      for (const type of types) stops.push(this.on(type, (data) => finish(resolve, data)));
    });
  }

  /** Sends a command that carries a "requestId" and resolves with its "nativeResponse". */
  request(command, timeoutMs = REQUEST_TIMEOUT_MS) {
    this.sequence += 1;
    const requestId = `req-${Date.now().toString(36)}-${this.sequence}`;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(requestId);
        reject(new Error('请求超时，请检查网络后重试'));
      }, timeoutMs);
      this.pending.set(requestId, (reply) => {
        clearTimeout(timer);
        resolve(reply);
      });
      try {
        this.send({ ...command, requestId });
      } catch (error) {
        clearTimeout(timer);
        this.pending.delete(requestId);
        reject(error);
      }
    });
  }

  receive(data) {
    if (!data || typeof data !== 'object' || typeof data.type !== 'string') return;
    if (data.type === 'nativeResponse') {
      const settle = this.pending.get(data.requestId);
      this.pending.delete(data.requestId);
      settle?.(data);
    }
    for (const listener of [...(this.listeners.get(data.type) ?? [])]) listener(data);
  }
}
