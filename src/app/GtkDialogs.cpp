#include "app/GtkDialogs.h"

#include <adwaita.h>

#include <memory>
#include <string>

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
    auto* message = ADW_MESSAGE_DIALOG(dialog);
    adw_message_dialog_add_response(message, "quit", "退出软件");
    adw_message_dialog_add_response(message, "cancel", "取消");
    adw_message_dialog_set_response_appearance(message, "quit", ADW_RESPONSE_DESTRUCTIVE);
    adw_message_dialog_set_default_response(message, "quit");
    adw_message_dialog_set_close_response(message, "cancel");
    present(dialog, [done = std::move(done)](const std::string& response) { done(response == "quit"); });
}

void GtkDialogs::askToResetOfflineData(GtkApplication* application, const std::string& message,
                                       std::function<void(bool reset)> done) {
    GtkWidget* dialog = messageDialog(nullptr, "星禾课堂", message.c_str());
    gtk_window_set_application(GTK_WINDOW(dialog), application);
    auto* alert = ADW_MESSAGE_DIALOG(dialog);
    adw_message_dialog_add_response(alert, "quit", "退出");
    adw_message_dialog_add_response(alert, "reset", "重置本机离线数据");
    adw_message_dialog_set_response_appearance(alert, "reset", ADW_RESPONSE_DESTRUCTIVE);
    adw_message_dialog_set_default_response(alert, "quit");
    adw_message_dialog_set_close_response(alert, "quit");
    present(dialog, [done = std::move(done)](const std::string& response) { done(response == "reset"); });
}

void GtkDialogs::showFatal(GtkApplication* application, const char* message, std::function<void()> done) {
    GtkWidget* dialog = messageDialog(nullptr, "星禾课堂", message);
    gtk_window_set_application(GTK_WINDOW(dialog), application);
    adw_message_dialog_add_response(ADW_MESSAGE_DIALOG(dialog), "ok", "好");
    present(dialog, [done = std::move(done)](const std::string&) { done(); });
}

}  // namespace velmora
