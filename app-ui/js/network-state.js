// What the page knows of the machine's network, from the native "networkChanged" events: online,
// offline, or online over a metered connection. Until the first event the page assumes online, as
// it did before the native side reported anything. Pure.

export const ASSUMED_ONLINE = Object.freeze({ available: true, metered: false, known: false });

/** The state after one {"type":"networkChanged","available","metered"} event; anything else keeps it. */
export function networkAfter(state, event) {
  if (event?.type !== 'networkChanged' || typeof event.available !== 'boolean') return state;
  return Object.freeze({ available: event.available, metered: event.available && event.metered === true, known: true });
}

/** "online", "offline" or "metered". */
export function networkKind(state) {
  if (!state.available) return 'offline';
  return state.metered ? 'metered' : 'online';
}
