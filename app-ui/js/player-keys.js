// The player's keyboard keys: what each does, and the list the help panel shows. Pure.

const SEEK_STEP_SECONDS = 10;

const ACTIONS = {
  ' ': { action: 'toggle' },
  k: { action: 'toggle' },
  ArrowLeft: { action: 'seek', seconds: -SEEK_STEP_SECONDS },
  j: { action: 'seek', seconds: -SEEK_STEP_SECONDS },
  ArrowRight: { action: 'seek', seconds: SEEK_STEP_SECONDS },
  l: { action: 'seek', seconds: SEEK_STEP_SECONDS },
  f: { action: 'fullscreen' },
  m: { action: 'mute' },
  '<': { action: 'speed', direction: -1 },
  '>': { action: 'speed', direction: +1 },
};

/** [keys, what they do] as the help panel lists them. */
export const PLAYER_KEY_HELP = [
  [['空格', 'K'], '播放 / 暂停'],
  [['←', 'J'], `后退 ${SEEK_STEP_SECONDS} 秒`],
  [['→', 'L'], `前进 ${SEEK_STEP_SECONDS} 秒`],
  [['F'], '全屏 / 退出全屏'],
  [['M'], '静音 / 取消静音'],
  [['<', '>'], '减慢 / 加快播放速度'],
  [['?'], '打开快捷键说明'],
  [['Esc'], '关闭对话框 / 返回上一页'],
];

/** The player action of a key (letters in either case), or null. */
export function playerAction(key) {
  const name = key.length === 1 && key !== ' ' ? key.toLowerCase() : key;
  return Object.hasOwn(ACTIONS, name) ? ACTIONS[name] : null;
}
