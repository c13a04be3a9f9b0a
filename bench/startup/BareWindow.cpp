// The start-up baseline: a bare GTK 4 window holding one WebKit view with the app's web settings,
// loading the packaged index.html from file://. It prints "velmora-trace first-frame <us>" on stderr
// when the page reports its first drawn frame through a "velmora" message handler, as the app does,
// and "velmora-trace restore-session <us>" when the page asks for restoreSession.
//
// usage: bench_startup_bare <index.html>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace {

// The content size the app picks on the benchmark's 1440x900 screen.
constexpr int kWidth = 1238;
constexpr int kHeight = 792;

void print(const char* event) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    std::fprintf(stderr, "velmora-trace %s %lld\n", event, static_cast<long long>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1'000);
    std::fflush(stderr);
}

// The first frame, and when the page asks for restoreSession (nothing answers it here): how long
// the page's scripts took to start, for comparison with the app's answer.
void onMessage(WebKitUserContentManager*, JSCValue* message, gpointer) {
    static bool frameSeen = false;
    static bool restoreSeen = false;
    if (!jsc_value_is_object(message)) return;
    JSCValue* type = jsc_value_object_get_property(message, "type");
    char* text = jsc_value_is_string(type) ? jsc_value_to_string(type) : nullptr;
    if (text != nullptr && std::string(text) == "firstFrame" && !frameSeen) {
        frameSeen = true;
        print("first-frame");
    } else if (text != nullptr && std::string(text) == "restoreSession" && !restoreSeen) {
        restoreSeen = true;
        print("restore-session");
    }
    g_free(text);
    g_object_unref(type);
}

void onLoad(WebKitWebView*, WebKitLoadEvent event, gpointer) {
    if (event == WEBKIT_LOAD_COMMITTED) print("load-committed");
    if (event == WEBKIT_LOAD_FINISHED) print("load-finished");
}

void onActivate(GtkApplication* application, gpointer page) {
    print("activate");
    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
    webkit_settings_set_enable_javascript(settings, TRUE);
    webkit_settings_set_media_playback_requires_user_gesture(settings, FALSE);
    webkit_settings_set_user_agent(settings, "VelmoraClassroom-macOS/1.4.5 AppleWebKit");
    // The page's module scripts load from file:// only with this.
    webkit_settings_set_allow_file_access_from_file_urls(settings, TRUE);

    WebKitUserContentManager* manager = webkit_user_content_manager_new();
    g_signal_connect(manager, "script-message-received::velmora", G_CALLBACK(onMessage), nullptr);
    webkit_user_content_manager_register_script_message_handler(manager, "velmora", nullptr);

    auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "settings", settings, "user-content-manager", manager, nullptr));
    g_object_unref(settings);
    g_object_unref(manager);
    const GdkRGBA transparent{0, 0, 0, 0};
    webkit_web_view_set_background_color(view, &transparent);

    GtkWidget* window = gtk_application_window_new(application);
    gtk_window_set_default_size(GTK_WINDOW(window), kWidth, kHeight);
    gtk_window_set_child(GTK_WINDOW(window), GTK_WIDGET(view));
    g_signal_connect(view, "load-changed", G_CALLBACK(onLoad), nullptr);
    webkit_web_view_load_uri(view, static_cast<const char*>(page));
    print("load-requested");
    gtk_window_present(GTK_WINDOW(window));
    print("window-shown");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <index.html>\n", argv[0]);
        return 2;
    }
    print("main");
    GError* error = nullptr;
    char* path = g_canonicalize_filename(argv[1], nullptr);
    char* uri = g_filename_to_uri(path, nullptr, &error);
    g_free(path);
    if (uri == nullptr) {
        std::fprintf(stderr, "%s\n", error->message);
        g_error_free(error);
        return 2;
    }
    GtkApplication* application = gtk_application_new("com.velmora.BenchBareWindow", G_APPLICATION_NON_UNIQUE);
    g_signal_connect(application, "startup", G_CALLBACK(+[](GApplication*, gpointer) { print("startup"); }), nullptr);
    g_signal_connect(application, "activate", G_CALLBACK(onActivate), uri);
    char* noArguments[] = {argv[0], nullptr};
    int status = g_application_run(G_APPLICATION(application), 1, noArguments);
    g_object_unref(application);
    g_free(uri);
    return status;
}
