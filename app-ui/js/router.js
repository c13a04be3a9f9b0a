// Hash routes of the page: "#/classes", "#/class/101", "#/course/1001", "#/lesson/10001",
// "#/offline/<asset id>", "#/library", "#/settings". Pure.

const ROUTES = [
  ['classes', /^\/classes$/],
  ['class', /^\/class\/(\d+)$/],
  ['course', /^\/course\/(\d+)$/],
  ['lesson', /^\/lesson\/(\d+)$/],
  ['offline', /^\/offline\/([^/]+)$/],
  ['library', /^\/library$/],
  ['settings', /^\/settings$/],
];

/** {view, param} for a location hash; unknown or empty hashes lead to the class list. */
export function parseRoute(hash) {
  const path = String(hash ?? '').replace(/^#/, '') || '/classes';
  for (const [view, pattern] of ROUTES) {
    const match = pattern.exec(path);
    if (!match) continue;
    let param = match[1] ?? null;
    if (param !== null) {
      try {
        param = decodeURIComponent(param);
      } catch {
        continue;
      }
    }
    return { view, param };
  }
  return { view: 'classes', param: null };
}

export function routeHash(view, param) {
  return param === undefined || param === null ? `#/${view}` : `#/${view}/${encodeURIComponent(param)}`;
}
