// Tells the native side whether a lesson is playing on the screen, so that the desktop keeps the
// screen on only then: "playbackStarted" when the video plays in a visible page, "playbackStopped"
// on pause, end, failure, hiding and leaving. Each change is sent once.

/**
 * `video` and `doc` are the video element and the document (or stand-ins that dispatch the same
 * events); `send(command)` posts to the bridge. Returns a function that stops reporting and
 * reports the lesson stopped.
 */
export function reportPlayback(video, doc, send) {
  let playing = false;
  const tell = (now) => {
    if (now === playing) return;
    playing = now;
    send({ type: now ? 'playbackStarted' : 'playbackStopped' });
  };
  const update = () => tell(!video.paused && !video.ended && doc.visibilityState !== 'hidden');
  const events = ['play', 'playing', 'pause', 'ended', 'error', 'emptied'];
  for (const name of events) video.addEventListener(name, update);
  doc.addEventListener('visibilitychange', update);
  return () => {
    for (const name of events) video.removeEventListener(name, update);
    doc.removeEventListener('visibilitychange', update);
    tell(false);
  };
}
