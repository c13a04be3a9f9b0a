#include "app/GtkDialogs.h"

#include "app/DarkStyle.h"

#include <adwaita.h>

#include <memory>
#include <string>
#include <utility>

namespace velmora {

namespace {

constexpr const char* kAboutBody =
    "macOS 学习端 1.4.5\n"
    "当前架构：Intel 芯片（x86_64）\n"
    "\n"
    "在线播放、设备与用户绑定的加密离线课程、课件预览与学习进度续播。";
constexpr const char* kWithoutKeyring =
    "\n\n本机桌面未提供系统密钥环（Secret Service），登录凭证与离线课程密钥仅以本机和系统用户的标识加密保存。";

using ResponseCallback = std::function<void(const std::string& response)>;

void onResponse(AdwMessageDialog*, const char* response, gpointer data) {
    (*static_cast<ResponseCallback*>(data))(response != nullptr ? response : "");
}

void destroyCallback(gpointer data, GClosure*) { std::unique_ptr<ResponseCallback> owned(static_cast<ResponseCallback*>(data)); }

GtkWidget* messageDialog(GtkWindow* parent, const char* heading, const char* body) {
    DarkStyle::apply();  // a dialog may come before the main window
    GtkWidget* dialog = adw_message_dialog_new(parent, heading, body);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    if (const char* icon = gtk_window_get_default_icon_name()) gtk_window_set_icon_name(GTK_WINDOW(dialog), icon);
    return dialog;
}

// The dialog closes itself after a response; `callback` is released with the signal handler.
void present(GtkWidget* dialog, ResponseCallback callback) {
    auto owned = std::make_unique<ResponseCallback>(std::move(callback));
    g_signal_connect_data(dialog, "response", G_CALLBACK(onResponse), owned.release(), destroyCallback, GConnectFlags{});
    gtk_window_present(GTK_WINDOW(dialog));
}

// A two-way alert: responses (id, label) in display order, which one is destructive, which is the
// default and which closing answers; `done(true)` when the destructive one was chosen.
struct Choice {
    std::pair<const char*, const char*> first;
    std::pair<const char*, const char*> second;
    const char* destructive;
    const char* byDefault;
    const char* onClose;
};

void presentChoice(GtkWidget* dialog, const Choice& choice, std::function<void(bool)> done) {
    auto* alert = ADW_MESSAGE_DIALOG(dialog);
    adw_message_dialog_add_response(alert, choice.first.first, choice.first.second);
    adw_message_dialog_add_response(alert, choice.second.first, choice.second.second);
    adw_message_dialog_set_response_appearance(alert, choice.destructive, ADW_RESPONSE_DESTRUCTIVE);
    adw_message_dialog_set_default_response(alert, choice.byDefault);
    adw_message_dialog_set_close_response(alert, choice.onClose);
    present(dialog, [done = std::move(done), destructive = std::string(choice.destructive)](const std::string& response) {
        done(response == destructive);
    });
}

}  // namespace

void GtkDialogs::showAbout(GtkWindow* parent, bool storeUsesKeyring) {
    std::string body = std::string(kAboutBody) + (storeUsesKeyring ? "" : kWithoutKeyring);
    GtkWidget* dialog = messageDialog(parent, "星禾课堂", body.c_str());
    adw_message_dialog_add_response(ADW_MESSAGE_DIALOG(dialog), "ok", "好");
    adw_message_dialog_set_default_response(ADW_MESSAGE_DIALOG(dialog), "ok");
    present(dialog, [](const std::string&) {});
}

void GtkDialogs::askToQuit(GtkWindow* parent, std::function<void(bool confirmed)> done) {
    GtkWidget* dialog = messageDialog(parent, "确认退出星禾课堂？", "退出前会保存当前学习进度；正在进行的离线下载将停止。");
    presentChoice(dialog, {{"quit", "退出软件"}, {"cancel", "取消"}, "quit", "quit", "cancel"}, std::move(done));
}

void GtkDialogs::askToResetOfflineData(GtkApplication* application, const std::string& message,
                                       std::function<void(bool reset)> done) {
    GtkWidget* dialog = messageDialog(nullptr, "星禾课堂", message.c_str());
    gtk_window_set_application(GTK_WINDOW(dialog), application);
    presentChoice(dialog, {{"quit", "退出"}, {"reset", "重置本机离线数据"}, "reset", "quit", "quit"}, std::move(done));
}

void GtkDialogs::showFatal(GtkApplication* application, const char* message, std::function<void()> done) {
    GtkWidget* dialog = messageDialog(nullptr, "星禾课堂", message);
    gtk_window_set_application(GTK_WINDOW(dialog), application);
    adw_message_dialog_add_response(ADW_MESSAGE_DIALOG(dialog), "ok", "好");
    present(dialog, [done = std::move(done)](const std::string&) { done(); });
}

}  // namespace velmora
