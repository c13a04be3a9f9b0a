#include "app/GtkMainQueue.h"

#include <glib.h>

#include <memory>

namespace velmora {

namespace {

gboolean runOnce(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void destroyWork(gpointer data) { std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(data)); }

void attach(GSource* source, std::function<void()> work) {
    auto owned = std::make_unique<std::function<void()>>(std::move(work));
    g_source_set_callback(source, runOnce, owned.release(), destroyWork);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

}  // namespace

void GtkMainQueue::post(std::function<void()> work) {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    attach(source, std::move(work));
}

void GtkMainQueue::postAfter(std::chrono::milliseconds delay, std::function<void()> work) {
    postDelayed(static_cast<unsigned>(delay.count()), std::move(work));
}

void GtkMainQueue::postDelayed(unsigned delayMilliseconds, std::function<void()> work) {
    attach(g_timeout_source_new(delayMilliseconds), std::move(work));
}

}  // namespace velmora
