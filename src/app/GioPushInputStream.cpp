#include "app/GioPushInputStream.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace velmora {

namespace {

struct PushBuffer {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Bytes> pieces;
    std::size_t offset = 0;  // into pieces.front()
    bool finished = false;
    std::optional<std::string> failure;
    bool abandoned = false;
    std::function<void()> onAbandoned;
    std::function<void()> onPieceRead;  // set before the stream is handed out, then only read

    bool complete() const { return finished || failure.has_value(); }

    // Marks the reader gone; runs the callback outside the lock, once, and only before the end.
    void abandon() {
        std::function<void()> callback;
        {
            std::lock_guard lock(mutex);
            if (abandoned || complete()) return;
            abandoned = true;
            callback = std::move(onAbandoned);
        }
        ready.notify_all();
        if (callback) callback();
    }
};

}  // namespace

}  // namespace velmora

// GObject boilerplate for the stream type; the state lives in a C++ object it owns.
struct VelmoraPushStream {
    GInputStream parent_instance;
    velmora::PushBuffer* buffer;
};

struct VelmoraPushStreamClass {
    GInputStreamClass parent_class;
};

G_DEFINE_TYPE(VelmoraPushStream, velmora_push_stream, G_TYPE_INPUT_STREAM)

namespace velmora {

namespace {

PushBuffer& bufferOf(gpointer stream) { return *reinterpret_cast<VelmoraPushStream*>(stream)->buffer; }

void wake(GCancellable*, gpointer data) {
    auto* buffer = static_cast<PushBuffer*>(data);
    { std::lock_guard lock(buffer->mutex); }
    buffer->ready.notify_all();
}

gssize readBytes(GInputStream* stream, void* out, gsize count, GCancellable* cancellable, GError** error) {
    PushBuffer& buffer = bufferOf(stream);
    gulong handler = cancellable != nullptr ? g_cancellable_connect(cancellable, G_CALLBACK(wake), &buffer, nullptr) : 0;
    gssize result = 0;
    bool cancelled = false;
    bool pieceRead = false;
    {
        std::unique_lock lock(buffer.mutex);
        buffer.ready.wait(lock, [&] {
            return !buffer.pieces.empty() || buffer.complete() || (cancellable != nullptr && g_cancellable_is_cancelled(cancellable));
        });
        if (!buffer.pieces.empty()) {
            Bytes& front = buffer.pieces.front();
            std::size_t n = std::min<std::size_t>(count, front.size() - buffer.offset);
            std::memcpy(out, front.data() + buffer.offset, n);
            buffer.offset += n;
            if (buffer.offset == front.size()) {
                buffer.pieces.pop_front();
                buffer.offset = 0;
                pieceRead = true;
            }
            result = static_cast<gssize>(n);
        } else if (buffer.failure) {
            g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED, buffer.failure->c_str());
            result = -1;
        } else if (!buffer.finished) {
            cancelled = true;
        }
    }
    if (handler != 0) g_cancellable_disconnect(cancellable, handler);  // not under the lock: wake() takes it
    if (pieceRead && buffer.onPieceRead) buffer.onPieceRead();
    if (cancelled) {
        g_cancellable_set_error_if_cancelled(cancellable, error);
        buffer.abandon();
        return -1;
    }
    return result;
}

gboolean closeStream(GInputStream* stream, GCancellable*, GError**) {
    bufferOf(stream).abandon();
    return TRUE;
}

}  // namespace

}  // namespace velmora

static void velmora_push_stream_init(VelmoraPushStream* self) { self->buffer = std::make_unique<velmora::PushBuffer>().release(); }

static void velmora_push_stream_finalize(GObject* object) {
    std::unique_ptr<velmora::PushBuffer> buffer(reinterpret_cast<VelmoraPushStream*>(object)->buffer);
    buffer->abandon();
    G_OBJECT_CLASS(velmora_push_stream_parent_class)->finalize(object);
}

static void velmora_push_stream_class_init(VelmoraPushStreamClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = velmora_push_stream_finalize;
    G_INPUT_STREAM_CLASS(klass)->read_fn = velmora::readBytes;
    G_INPUT_STREAM_CLASS(klass)->close_fn = velmora::closeStream;
}

namespace velmora {

GObjectPtr<GInputStream> GioPushInputStream::create(std::function<void()> abandoned, std::function<void()> pieceRead) {
    auto* stream = static_cast<GInputStream*>(g_object_new(velmora_push_stream_get_type(), nullptr));
    bufferOf(stream).onAbandoned = std::move(abandoned);
    bufferOf(stream).onPieceRead = std::move(pieceRead);
    return adoptGObject(stream);
}

void GioPushInputStream::push(GInputStream* stream, Bytes&& bytes) {
    if (bytes.empty()) return;
    PushBuffer& buffer = bufferOf(stream);
    {
        std::lock_guard lock(buffer.mutex);
        if (buffer.complete() || buffer.abandoned) return;
        buffer.pieces.push_back(std::move(bytes));
    }
    buffer.ready.notify_all();
}

void GioPushInputStream::finish(GInputStream* stream) {
    PushBuffer& buffer = bufferOf(stream);
    {
        std::lock_guard lock(buffer.mutex);
        if (buffer.complete() || buffer.abandoned) return;
        buffer.finished = true;
    }
    buffer.ready.notify_all();
}

void GioPushInputStream::fail(GInputStream* stream, const std::string& message) {
    PushBuffer& buffer = bufferOf(stream);
    {
        std::lock_guard lock(buffer.mutex);
        if (buffer.complete() || buffer.abandoned) return;
        buffer.failure = message;
    }
    buffer.ready.notify_all();
}

}  // namespace velmora
