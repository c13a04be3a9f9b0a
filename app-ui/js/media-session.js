// The desktop's media controls (the MPRIS player of the desktop shell, media keys) for the lesson
// player: what is playing, and the actions they may take. Works on navigator.mediaSession or a
// stand-in; without one nothing happens.

const SEEK_STEP_SECONDS = 15;  // as the player's own skip buttons

/**
 * `about` is {title, courseTitle, chapterTitle, artwork: [{src, sizes, type}]};
 * `makeMetadata(init)` builds a MediaMetadata. Returns {setNeighbours({previous, next}), stop()},
 * where previous and next open the chapter's lesson before and after this one (or are null).
 */
export function connectMediaSession(session, video, about, makeMetadata) {
  if (!session) return { setNeighbours() {}, stop() {} };
  const setHandler = (action, handler) => {
    try {
      session.setActionHandler(action, handler);
    } catch {
      // An action this engine does not know: the control is simply not offered.
    }
  };
  const seekTo = (seconds) => {
    const end = Number.isFinite(video.duration) ? video.duration : Infinity;
    video.currentTime = Math.min(end, Math.max(0, seconds));
  };
  const handlers = {
    play: () => video.play()?.catch?.(() => {}),
    pause: () => video.pause(),
    seekbackward: (details) => seekTo(video.currentTime - (details?.seekOffset || SEEK_STEP_SECONDS)),
    seekforward: (details) => seekTo(video.currentTime + (details?.seekOffset || SEEK_STEP_SECONDS)),
    seekto: (details) => { if (Number.isFinite(details?.seekTime)) seekTo(details.seekTime); },
  };
  const place = [about.courseTitle, about.chapterTitle].filter(Boolean).join(' · ');
  session.metadata = makeMetadata({ title: about.title ?? '', artist: place, album: place, artwork: about.artwork ?? [] });
  for (const [action, handler] of Object.entries(handlers)) setHandler(action, handler);
  const follow = () => { session.playbackState = video.paused || video.ended ? 'paused' : 'playing'; };
  const events = ['play', 'playing', 'pause', 'ended'];
  for (const name of events) video.addEventListener(name, follow);

  return {
    setNeighbours({ previous = null, next = null } = {}) {
      setHandler('previoustrack', previous);
      setHandler('nexttrack', next);
    },
    stop() {
      for (const name of events) video.removeEventListener(name, follow);
      for (const action of [...Object.keys(handlers), 'previoustrack', 'nexttrack']) setHandler(action, null);
      session.metadata = null;
      session.playbackState = 'none';
    },
  };
}

/**
 * The lessons before and after `current` in its chapter: `lessons` are the chapter's lessons in
 * any order, each {key, index}; gives {previous, next} keys or null.
 */
export function chapterNeighbours(lessons, current) {
  const ordered = [...lessons].sort((a, b) => a.index - b.index);
  const at = ordered.findIndex((lesson) => lesson.key === current);
  if (at < 0) return { previous: null, next: null };
  return { previous: ordered[at - 1]?.key ?? null, next: ordered[at + 1]?.key ?? null };
}
