#include "bridge/MacBridge.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "bridge/LoneSurrogates.h"
#include "net/Url.h"

namespace velmora {

namespace {

constexpr std::int64_t kMinimumZoomPercent = 90;
constexpr std::int64_t kMaximumZoomPercent = 160;

// True when every number in the value is finite. Iterative: page-built values may nest deeply.
bool hasOnlyFiniteNumbers(const Json& root) {
    std::vector<const Json*> pending{&root};
    while (!pending.empty()) {
        const Json* value = pending.back();
        pending.pop_back();
        if (value->is_number_float() && !std::isfinite(value->get<double>())) return false;
        if (value->is_structured()) {
            for (const Json& child : *value) pending.push_back(&child);
        }
    }
    return true;
}

// U+2028 and U+2029 are valid in JSON strings but ended string literals in older script engines;
// write them escaped so the JSON text is safe as a script literal everywhere.
std::string escapeLineSeparators(std::string json) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kEscapes{{
        {"\xE2\x80\xA8", "\\u2028"},
        {"\xE2\x80\xA9", "\\u2029"},
    }};
    for (auto [raw, escaped] : kEscapes) {
        for (std::size_t at = json.find(raw); at != std::string::npos; at = json.find(raw, at + escaped.size())) {
            json.replace(at, raw.size(), escaped);
        }
    }
    return json;
}

}  // namespace

MacBridge::MacBridge(BridgeEnvironment environment) : environment_(std::move(environment)) {}

MacBridge::~MacBridge() = default;

MacBridge::Handler MacBridge::handlerFor(std::string_view type) {
    static constexpr std::array<std::pair<std::string_view, Handler>, 23> kCommands{{
        {"restoreSession", &MacBridge::restoreSession},
        {"saveSession", &MacBridge::saveSession},
        {"clearSession", &MacBridge::clearSession},
        {"listDownloads", &MacBridge::listDownloads},
        {"download", &MacBridge::startDownload},
        {"pauseDownload", &MacBridge::pauseDownload},
        {"resumeDownload", &MacBridge::resumeDownload},
        {"cancelDownload", &MacBridge::cancelDownload},
        {"listInterruptedDownloads", &MacBridge::listInterruptedDownloads},
        {"setMeteredDownloadsAllowed", &MacBridge::setMeteredDownloadsAllowed},
        {"deleteDownload", &MacBridge::deleteDownload},
        {"updateDownloadMetadata", &MacBridge::updateDownloadMetadata},
        {"apiRequest", &MacBridge::proxyAPI},
        {"downloadResource", &MacBridge::downloadResource},
        {"openExternal", &MacBridge::openExternal},
        {"setZoom", &MacBridge::setZoom},
        {"minimize", &MacBridge::minimize},
        {"maximize", &MacBridge::maximize},
        {"minimizeToTray", &MacBridge::minimizeToTray},
        {"close", &MacBridge::close},
        {"drag", &MacBridge::drag},
        {"playbackStarted", &MacBridge::playbackStarted},
        {"playbackStopped", &MacBridge::playbackStopped},
    }};
    for (auto [name, handler] : kCommands) {
        if (name == type) return handler;
    }
    return nullptr;
}

void MacBridge::didReceiveScriptMessageJSON(std::string_view name, std::optional<std::string_view> frameURL,
                                        std::string_view bodyJSON) {
    if (name != kHandlerName) return;
    Json body = Json::parse(replaceLoneSurrogates(bodyJSON), nullptr, /*allow_exceptions=*/false);
    if (body.is_discarded()) return;
    didReceiveScriptMessage(name, frameURL, body);
}

void MacBridge::didReceiveScriptMessage(std::string_view name, std::optional<std::string_view> frameURL, const Json& body) {
    if (name != kHandlerName) return;
    if (!frameURL || Url::schemeOf(*frameURL) != kAppScheme) return;
    if (!body.is_object() || body.empty()) return;
    const Json* type = payloadValue(body, "type");
    if (type == nullptr || !type->is_string()) return;
    if (Handler handler = handlerFor(type->get_ref<const std::string&>())) (this->*handler)(body);
}

std::optional<std::string> MacBridge::eventScript(const Json& message) {
    if (!message.is_object() || !hasOnlyFiniteNumbers(message)) return std::nullopt;
    std::string json;
    try {
        json = message.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::strict);
    } catch (const Json::exception&) {
        return std::nullopt;  // invalid UTF-8 in a text
    }
    return "window.dispatchEvent(new MessageEvent('message',{data:" + escapeLineSeparators(std::move(json)) + "}));";
}

void MacBridge::post(const Json& message) {
    std::optional<std::string> script = eventScript(message);
    if (!script) return;
    if (auto webView = webView_.lock()) webView->evaluateScript(*script);
}

void MacBridge::offlineLessonDamaged(const std::string& assetId, const std::string& ownerKey) {
    if (session_ && session_->ownerKey == ownerKey) post({{"type", "offlineLessonDamaged"}, {"assetId", assetId}});
}

void MacBridge::openSettings() {
    if (auto controller = appController_.lock()) controller->showMainWindow();
    if (auto webView = webView_.lock()) webView->evaluateScript("document.querySelector('[data-view=settings]')?.click();");
}

void MacBridge::openOfflineLibrary() {
    if (auto controller = appController_.lock()) controller->showMainWindow();
    if (auto webView = webView_.lock()) webView->evaluateScript("document.querySelector('[data-view=library]')?.click();");
}

void MacBridge::minimize(const Json&) {
    if (auto controller = appController_.lock()) {
        if (MainWindow* window = controller->mainWindow()) window->miniaturize();
    }
}

void MacBridge::maximize(const Json&) {
    if (auto controller = appController_.lock()) {
        if (MainWindow* window = controller->mainWindow()) window->zoom();
    }
}

void MacBridge::minimizeToTray(const Json&) {
    if (auto controller = appController_.lock()) controller->minimizeToMenuBar();
}

void MacBridge::close(const Json&) {
    if (auto controller = appController_.lock()) controller->requestApplicationClose();
}

void MacBridge::drag(const Json&) {
    if (auto controller = appController_.lock()) {
        if (MainWindow* window = controller->mainWindow()) window->performDragWithCurrentEvent();
    }
}

void MacBridge::playbackStarted(const Json&) {
    if (auto controller = appController_.lock()) controller->playbackChanged(true);
}

void MacBridge::playbackStopped(const Json&) {
    if (auto controller = appController_.lock()) controller->playbackChanged(false);
}

void MacBridge::setZoom(const Json& payload) {
    std::int64_t percent = std::clamp(payloadInteger(payload, "percent"), kMinimumZoomPercent, kMaximumZoomPercent);
    if (auto webView = webView_.lock()) webView->setPageZoom(static_cast<double>(percent) / 100.0);
}

void MacBridge::openExternal(const Json& payload) {
    const Json* url = payloadValue(payload, "url");
    if (url == nullptr || !url->is_string()) return;
    const std::string& text = url->get_ref<const std::string&>();
    const std::string& host = environment_.endpoints.webHost;
    if (text != "https://www." + host + "/" && text != "https://" + host + "/") return;
    if (environment_.workspace) environment_.workspace->openURL(text);
}

}  // namespace velmora
