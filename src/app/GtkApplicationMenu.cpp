#include "app/GtkApplicationMenu.h"

#include "app/GtkDownloadNotifier.h"
#include "app/VelmoraApplicationDelegate.h"

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

namespace velmora {

namespace {

using Work = std::function<void()>;

void runWork(GSimpleAction*, GVariant*, gpointer data) { (*static_cast<Work*>(data))(); }
void destroyWork(gpointer data, GClosure*) { std::unique_ptr<Work> owned(static_cast<Work*>(data)); }

void addAction(GtkApplication* application, const char* name, const char* accelerator, Work work) {
    auto action = adoptGObject(g_simple_action_new(name, nullptr));
    auto owned = std::make_unique<Work>(std::move(work));
    g_signal_connect_data(action.get(), "activate", G_CALLBACK(runWork), owned.release(), destroyWork, GConnectFlags{});
    g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(action.get()));
    if (accelerator == nullptr) return;
    const std::string detailed = std::string("app.") + name;
    const char* accelerators[] = {accelerator, nullptr};
    gtk_application_set_accels_for_action(application, detailed.c_str(), accelerators);
}

// Appends one section of (label, detailed action) items to `menu`.
void appendSection(GMenu* menu, std::initializer_list<std::pair<const char*, const char*>> items) {
    auto section = adoptGObject(g_menu_new());
    for (auto [label, action] : items) g_menu_append(section.get(), label, action);
    g_menu_append_section(menu, nullptr, G_MENU_MODEL(section.get()));
}

GObjectPtr<GMenu> buildMainMenu() {
    auto application = adoptGObject(g_menu_new());
    appendSection(application.get(), {{"关于星禾课堂", "app.about"}});
    appendSection(application.get(), {{"设置…", "app.settings"}});
    appendSection(application.get(), {{"隐藏星禾课堂", "app.hide"}});
    appendSection(application.get(), {{"退出星禾课堂…", "app.quit"}});

    auto window = adoptGObject(g_menu_new());
    appendSection(window.get(), {{"最小化", "app.minimize"}, {"缩放", "app.zoom"}});
    appendSection(window.get(), {{"显示星禾课堂", "app.show-main-window"}});

    auto main = adoptGObject(g_menu_new());
    g_menu_append_submenu(main.get(), "星禾课堂", G_MENU_MODEL(application.get()));
    g_menu_append_submenu(main.get(), "窗口", G_MENU_MODEL(window.get()));
    return main;
}

}  // namespace

GtkApplicationMenu::GtkApplicationMenu(GtkApplication* application, VelmoraApplicationDelegate& delegate)
    : menu_(buildMainMenu()) {
    auto* shell = &delegate;
    addAction(application, "about", nullptr, [shell] { shell->showAbout(); });
    addAction(application, "settings", "<Control>comma", [shell] { shell->openSettings(); });
    addAction(application, "hide", "<Control>h", [shell] { shell->minimizeToMenuBar(); });
    addAction(application, "quit", "<Control>q", [shell] { shell->requestQuitFromMenu(); });
    addAction(application, "minimize", "<Control>m", [shell] {
        if (MainWindow* window = shell->mainWindow()) window->miniaturize();
    });
    addAction(application, "zoom", nullptr, [shell] {
        if (MainWindow* window = shell->mainWindow()) window->zoom();
    });
    addAction(application, "show-main-window", "<Control>0", [shell] { shell->showMainWindow(); });
    addAction(application, GtkDownloadNotifier::kShowLibraryAction, nullptr, [shell] { shell->openOfflineLibrary(); });
    gtk_application_set_menubar(application, model());
}

}  // namespace velmora
