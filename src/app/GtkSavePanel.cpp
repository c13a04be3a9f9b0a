#include "app/GtkSavePanel.h"

#include "app/GLibHandles.h"

#include <utility>

namespace velmora {

GtkSavePanel::GtkSavePanel(std::function<GtkWindow*()> parent) : parent_(std::move(parent)) {}

GtkSavePanel::~GtkSavePanel() {
    if (!chooser_) return;
    g_signal_handlers_disconnect_by_data(chooser_.get(), this);
    gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(chooser_.get()));
}

void GtkSavePanel::ask(const std::string& suggestedName, std::function<void(std::optional<std::filesystem::path>)> done) {
    if (chooser_) {
        done(std::nullopt);
        return;
    }
    chooser_ = adoptGObject(
        gtk_file_chooser_native_new(nullptr, parent_ ? parent_() : nullptr, GTK_FILE_CHOOSER_ACTION_SAVE, nullptr, nullptr));
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser_.get()), TRUE);
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser_.get()), suggestedName.c_str());
    done_ = std::move(done);
    g_signal_connect(chooser_.get(), "response", G_CALLBACK(onResponse), this);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser_.get()));
}

void GtkSavePanel::onResponse(GtkNativeDialog* dialog, int response, gpointer self) {
    auto* panel = static_cast<GtkSavePanel*>(self);
    std::optional<std::filesystem::path> chosen;
    if (response == GTK_RESPONSE_ACCEPT) {
        auto file = adoptGObject(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog)));
        GCharPtr path(file ? g_file_get_path(file.get()) : nullptr);
        if (path) chosen = std::filesystem::path(path.get());
    }
    g_signal_handlers_disconnect_by_data(dialog, panel);
    // The dialog is still emitting: drop our reference once this handler has returned.
    g_idle_add_once([](gpointer data) { g_object_unref(data); }, panel->chooser_.release());
    if (auto done = std::exchange(panel->done_, nullptr)) done(std::move(chosen));
}

}  // namespace velmora
