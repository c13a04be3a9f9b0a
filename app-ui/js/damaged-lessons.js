// The account's stored lessons found damaged while playing (a record failed to decrypt), kept in
// the page's storage so the library marks them until they are deleted or downloaded again. No DOM.

export class DamagedLessons {
  /** `storage` is localStorage or a stand-in. */
  constructor(storage, ownerKey) {
    this.storage = storage;
    this.key = `velmora.damaged.${ownerKey}`;
  }

  all() {
    try {
      const saved = JSON.parse(this.storage.getItem(this.key) ?? '[]');
      return Array.isArray(saved) ? saved.filter((id) => typeof id === 'string') : [];
    } catch {
      return [];
    }
  }

  has(assetId) {
    return this.all().includes(assetId);
  }

  add(assetId) {
    if (!this.has(assetId)) this.write([...this.all(), assetId]);
  }

  remove(assetId) {
    if (this.has(assetId)) this.write(this.all().filter((id) => id !== assetId));
  }

  write(ids) {
    try {
      if (ids.length > 0) this.storage.setItem(this.key, JSON.stringify(ids));
      else this.storage.removeItem(this.key);
    } catch {
      // Unavailable storage: the mark lasts only as long as this page.
    }
  }
}
