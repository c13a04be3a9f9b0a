// The player's playback speeds and the one each account last chose, kept in localStorage so online
// and offline lessons play alike. Pure apart from the storage it is given.

export const SPEEDS = [0.75, 1, 1.25, 1.5, 1.75, 2];
const NORMAL = 1;

/** 1.5 → "1.5×", 1 → "1×". */
export function speedLabel(speed) {
  return `${speed}×`;
}

/** The next speed up (+1) or down (-1) from `current`, staying at the ends of the list. */
export function stepSpeed(current, direction) {
  const index = SPEEDS.indexOf(current);
  const from = index >= 0 ? index : SPEEDS.indexOf(NORMAL);
  return SPEEDS[Math.max(0, Math.min(SPEEDS.length - 1, from + direction))];
}

export class SpeedMemory {
  /** `storage` is localStorage or a stand-in with getItem/setItem. */
  constructor(storage, ownerKey) {
    this.storage = storage;
    this.key = `velmora.speed.${ownerKey}`;
  }

  /** The account's speed, or 1× when none (or something not offered) was stored. */
  load() {
    try {
      const speed = Number(this.storage.getItem(this.key));
      return SPEEDS.includes(speed) ? speed : NORMAL;
    } catch {
      return NORMAL;
    }
  }

  save(speed) {
    if (!SPEEDS.includes(speed)) return;
    try {
      this.storage.setItem(this.key, String(speed));
    } catch {
      // A full or unavailable store only forgets the choice; playback goes on at this speed.
    }
  }
}
