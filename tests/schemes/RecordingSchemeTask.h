#pragma once

#include "schemes/SchemeTask.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmora::test {

// A scheme task that records every delivery, from any thread, and lets a test wait for the end.
// Read the recorded state only after waitForEnd() or once the handler's queue is idle.
class RecordingSchemeTask : public SchemeTask {
public:
    explicit RecordingSchemeTask(std::string url, std::map<std::string, std::string> headers = {}) {
        request_.url = Url::parse(url);
        request_.headers = std::move(headers);
    }

    const SchemeRequest& request() const override { return request_; }
    void didReceive(const SchemeResponse& response) override { record("response", [&] { this->response = response; }); }
    void didReceive(ByteView data) override {
        record("data", [&] {
            pieces.emplace_back(data.begin(), data.end());
            body.insert(body.end(), data.begin(), data.end());
        });
        if (onData) onData(*this);
    }
    void didFinish() override { record("finish", [] {}); }
    void didFail(const std::string& message) override { record("fail", [&] { failure = message; }); }

    // True once the task has finished or failed, waiting at most `timeout` for it.
    bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] {
            return !events.empty() && (events.back() == "finish" || events.back() == "fail");
        });
    }

    std::vector<std::string> events;
    std::optional<SchemeResponse> response;
    std::vector<Bytes> pieces;
    Bytes body;
    std::optional<std::string> failure;
    // Runs on the delivering thread after each data delivery (used to stop a task mid-answer).
    std::function<void(RecordingSchemeTask&)> onData;

private:
    template <typename F>
    void record(const char* event, F&& change) {
        {
            std::lock_guard lock(mutex_);
            events.push_back(event);
            change();
        }
        changed_.notify_all();
    }

    SchemeRequest request_;
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace velmora::test
