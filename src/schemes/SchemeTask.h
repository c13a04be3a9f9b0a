#pragma once

#include "core/Crypto.h"
#include "net/Url.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace velmora {

// One request to a custom scheme, as plain values. Header names are compared case-insensitively
// by the helpers below.
struct SchemeRequest {
    std::string method = "GET";
    std::optional<Url> url;  // split as written (Url::parse); absent when the address is not an absolute URL
    std::map<std::string, std::string> headers;

    std::optional<std::string> header(std::string_view name) const;
};

// The response head: status, MIME type, optional text encoding and extra header fields. The app
// scheme answers files with status 200 and no header fields (a plain resource response); the media
// scheme and the app scheme's 404 carry their HTTP header fields here.
struct SchemeResponse {
    int statusCode = 200;
    std::string mimeType;
    std::string textEncoding;  // empty: none
    std::int64_t expectedContentLength = -1;
    std::map<std::string, std::string> headers;
};

// The answering side of one scheme request. Calls come in the order didReceive(response),
// didReceive(data)*, then didFinish() or didFail(), or a single didFail(); a stopped task gets
// nothing more. A task's identity is its object address: an adapter keeps one object per web
// request and passes that same object to SchemeHandler::stop().
// Implementations say on which thread they may be called (the WebKit adapter hops to the main
// context itself; the loopback server accepts any thread).
class SchemeTask {
public:
    virtual ~SchemeTask() = default;
    virtual const SchemeRequest& request() const = 0;
    virtual void didReceive(const SchemeResponse& response) = 0;
    virtual void didReceive(ByteView data) = 0;
    // The same delivery for bytes the caller gives away: a task that keeps data past the call (a
    // queue, another thread) takes them without a copy. By default it is delivered as a view.
    virtual void didReceive(Bytes&& data) { didReceive(ByteView(data)); }
    virtual void didFinish() = 0;
    // `message` is the failure's description (a VelmoraError sentence or the system's own text).
    virtual void didFail(const std::string& message) = 0;
};

// A scheme's handler as the platform adapters (the WebKit scheme binding, the loopback server) see
// it: the web view starts a task and may later stop it.
class SchemeHandler {
public:
    virtual ~SchemeHandler() = default;
    // Takes shared ownership of the task for as long as the handler still needs it.
    virtual void start(std::shared_ptr<SchemeTask> task) = 0;
    // The web view no longer wants the task's data; the task must receive nothing more.
    virtual void stop(const SchemeTask& task) = 0;
};

}  // namespace velmora
