#pragma once

#include <glib-object.h>

#include <memory>
#include <utility>

namespace velmora {

// One owning wrapper per GLib handle kind, so no code path unrefs or frees by hand.
template <auto Release>
struct GReleaser {
    template <typename T>
    void operator()(T* handle) const {
        if (handle != nullptr) Release(handle);
    }
};

template <typename T>
using GObjectPtr = std::unique_ptr<T, GReleaser<g_object_unref>>;
using GErrorPtr = std::unique_ptr<GError, GReleaser<g_error_free>>;
using GCharPtr = std::unique_ptr<gchar, GReleaser<g_free>>;
using GVariantPtr = std::unique_ptr<GVariant, GReleaser<g_variant_unref>>;
using GBytesPtr = std::unique_ptr<GBytes, GReleaser<g_bytes_unref>>;

// Takes a reference that the caller already owns (a "transfer full" result).
template <typename T>
GObjectPtr<T> adoptGObject(T* object) { return GObjectPtr<T>(object); }

// Adds a reference to a borrowed ("transfer none") object.
template <typename T>
GObjectPtr<T> retainGObject(T* object) {
    return GObjectPtr<T>(object != nullptr ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

// A connected signal handler, disconnected when this goes away (if the instance still lives).
class SignalConnection {
public:
    SignalConnection() = default;
    SignalConnection(gpointer instance, gulong id) : instance_(G_OBJECT(instance)), id_(id) {
        g_object_add_weak_pointer(instance_, reinterpret_cast<gpointer*>(&instance_));
    }
    SignalConnection(SignalConnection&& other) noexcept { *this = std::move(other); }
    SignalConnection& operator=(SignalConnection&& other) noexcept {
        if (this != &other) {
            disconnect();
            if (other.instance_ != nullptr) {
                g_object_remove_weak_pointer(other.instance_, reinterpret_cast<gpointer*>(&other.instance_));
                instance_ = std::exchange(other.instance_, nullptr);
                g_object_add_weak_pointer(instance_, reinterpret_cast<gpointer*>(&instance_));
            }
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    SignalConnection(const SignalConnection&) = delete;
    SignalConnection& operator=(const SignalConnection&) = delete;
    ~SignalConnection() { disconnect(); }

    void disconnect() {
        if (instance_ == nullptr) return;
        g_object_remove_weak_pointer(instance_, reinterpret_cast<gpointer*>(&instance_));
        if (id_ != 0) g_signal_handler_disconnect(instance_, id_);
        instance_ = nullptr;
        id_ = 0;
    }

private:
    GObject* instance_ = nullptr;
    gulong id_ = 0;
};

// Connects `callback` (a C function taking `self` last) and returns the owning connection.
template <typename Callback>
SignalConnection connectSignal(gpointer instance, const char* signal, Callback callback, gpointer self) {
    return SignalConnection(instance, g_signal_connect(instance, signal, G_CALLBACK(callback), self));
}

}  // namespace velmora
