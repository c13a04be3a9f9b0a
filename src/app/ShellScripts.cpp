#include "app/ShellScripts.h"

#include "core/Payload.h"

namespace velmora {

namespace {

// The event that carries a page message from the page's world to the relay, as JSON text.
constexpr std::string_view kRelayScript = R"JS((() => {
  document.addEventListener('velmora-bridge-post', (event) => {
    const handlers = window.webkit && window.webkit.messageHandlers;
    if (!handlers || !handlers.velmora || typeof event.detail !== 'string') return;
    handlers.velmora.postMessage({ frame: String(location.href), body: event.detail });
  }, true);
})();)JS";

constexpr std::string_view kPagePostMessageScript = R"JS((() => {
  const postMessage = (body) => {
    let text;
    try { text = JSON.stringify(body); } catch (error) { return; }
    if (typeof text !== 'string') return;
    document.dispatchEvent(new CustomEvent('velmora-bridge-post', { detail: text }));
  };
  const handlers = Object.freeze({ velmora: Object.freeze({ postMessage }) });
  Object.defineProperty(window, 'webkit', {
    value: Object.freeze({ messageHandlers: handlers }), configurable: true, enumerable: false, writable: false,
  });
})();)JS";

constexpr std::string_view kMediaRewriteBody = R"JS(
  const scheme = 'velmora-media://', host = 'local/';
  const rewrite = (value) => typeof value === 'string' && value.slice(0, scheme.length).toLowerCase() === scheme
    && value.startsWith(host, scheme.length) ? base + value.slice(scheme.length + host.length - 1) : value;
  const isMedia = (node) => node instanceof HTMLMediaElement || node instanceof HTMLSourceElement;
  for (const proto of [HTMLMediaElement.prototype, HTMLSourceElement.prototype]) {
    const property = Object.getOwnPropertyDescriptor(proto, 'src');
    if (!property || !property.set) continue;
    Object.defineProperty(proto, 'src', { ...property, set(value) { property.set.call(this, rewrite(String(value))); } });
  }
  const setAttribute = Element.prototype.setAttribute;
  Element.prototype.setAttribute = function (name, value) {
    if (isMedia(this) && String(name).toLowerCase() === 'src') value = rewrite(String(value));
    return setAttribute.call(this, name, value);
  };
  const fix = (node) => {
    const value = node.getAttribute('src');
    const rewritten = rewrite(value);
    if (rewritten !== value) setAttribute.call(node, 'src', rewritten);
  };
  const scan = (node) => {
    if (node.nodeType !== Node.ELEMENT_NODE) return;
    if (isMedia(node)) fix(node);
    node.querySelectorAll('video,audio,source').forEach(fix);
  };
  new MutationObserver((records) => {
    for (const record of records) {
      if (record.type === 'attributes') { if (isMedia(record.target)) fix(record.target); }
      else record.addedNodes.forEach(scan);
    }
  }).observe(document, { subtree: true, childList: true, attributes: true, attributeFilter: ['src'] });
})();)JS";

}  // namespace

std::string_view ShellScripts::macNativeScript() {
    return "document.addEventListener('DOMContentLoaded',()=>document.body.classList.add('mac-native'));";
}

std::string_view ShellScripts::relayScript() { return kRelayScript; }

std::string_view ShellScripts::pagePostMessageScript() { return kPagePostMessageScript; }

std::string ShellScripts::mediaSourceRewriteScript(std::string_view loopbackBase) {
    // The base goes in as a JSON string literal, so no address text can end the literal early.
    std::string literal = Json(std::string(loopbackBase)).dump(-1, ' ', /*ensure_ascii=*/true, Json::error_handler_t::replace);
    return "(() => {\n  const base = " + literal + ";" + std::string(kMediaRewriteBody);
}

}  // namespace velmora
