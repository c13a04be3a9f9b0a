// The player's keyboard keys: what each does, how it acts on a media element, and the list the help
// panel shows. No DOM access beyond the element handed in.

const ARROW_SEEK_SECONDS = 5;
const LETTER_SEEK_SECONDS = 10;
const VOLUME_STEP = 0.05;

const ACTIONS = {
  ' ': { action: 'toggle' },
  k: { action: 'toggle' },
  ArrowLeft: { action: 'seek', seconds: -ARROW_SEEK_SECONDS },
  ArrowRight: { action: 'seek', seconds: ARROW_SEEK_SECONDS },
  j: { action: 'seek', seconds: -LETTER_SEEK_SECONDS },
  l: { action: 'seek', seconds: LETTER_SEEK_SECONDS },
  ArrowUp: { action: 'volume', step: VOLUME_STEP },
  ArrowDown: { action: 'volume', step: -VOLUME_STEP },
  f: { action: 'fullscreen' },
  m: { action: 'mute' },
  '<': { action: 'speed', direction: -1 },
  '>': { action: 'speed', direction: +1 },
};

/** [keys, what they do] as the help panel lists them. */
export const PLAYER_KEY_HELP = [
  [['空格', 'K'], '播放 / 暂停'],
  [['J'], `后退 ${LETTER_SEEK_SECONDS} 秒`],
  [['L'], `前进 ${LETTER_SEEK_SECONDS} 秒`],
  [['←'], `后退 ${ARROW_SEEK_SECONDS} 秒`],
  [['→'], `前进 ${ARROW_SEEK_SECONDS} 秒`],
  [['↑', '↓'], `音量增大 / 减小 ${VOLUME_STEP * 100}%`],
  [['M'], '静音 / 取消静音'],
  [['F', '双击画面'], '全屏 / 退出全屏'],
  [['<', '>'], '减慢 / 加快播放速度'],
  [['?'], '打开快捷键说明'],
  [['Esc'], '关闭对话框 / 返回上一页'],
];

/** The player action of a key (letters in either case), or null. */
export function playerAction(key) {
  const name = key.length === 1 && key !== ' ' ? key.toLowerCase() : key;
  return Object.hasOwn(ACTIONS, name) ? ACTIONS[name] : null;
}

const clamp = (value, low, high) => Math.min(high, Math.max(low, value));

/**
 * Carries out `action` on `media` (a video element or a stand-in with the same fields).
 * `controls` gives what the element cannot do by itself: {fullscreen(), speed(direction)}.
 */
export function performPlayerAction(action, media, controls) {
  switch (action.action) {
    case 'toggle':
      if (media.paused) media.play()?.catch?.(() => {});
      else media.pause();
      break;
    case 'seek': {
      const end = Number.isFinite(media.duration) ? media.duration : Infinity;
      media.currentTime = clamp(media.currentTime + action.seconds, 0, end);
      break;
    }
    case 'volume':
      // Turning the sound up brings a muted player back, as common web players do.
      if (action.step > 0) media.muted = false;
      media.volume = Math.round(clamp(media.volume + action.step, 0, 1) * 100) / 100;
      break;
    case 'mute':
      media.muted = !media.muted;
      break;
    case 'fullscreen':
      controls.fullscreen();
      break;
    case 'speed':
      controls.speed(action.direction);
      break;
    default:
  }
}
