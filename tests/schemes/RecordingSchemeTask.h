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
class RecordingSchemeTask : public SchemeTask {
public:
    explicit RecordingSchemeTask(std::string url, std::map<std::string, std::string> headers = {}) {
        request_.url = std::move(url);
        request_.headers = std::move(headers);
    }

    const SchemeRequest& request() const override { return request_; }

    void didReceive(const SchemeResponse& response) override {
        record([&] {
            events.push_back("response");
            this->response = response;
        });
    }
    void didReceive(ByteView data) override {
        record([&] {
            events.push_back("data");
            pieces.emplace_back(data.begin(), data.end());
            body.insert(body.end(), data.begin(), data.end());
        });
        if (onData) onData(*this);
    }
    void didFinish() override {
        record([&] { events.push_back("finish"); });
    }
    void didFail(const std::string& message) override {
        record([&] {
            events.push_back("fail");
            failure = message;
        });
    }

    // Waits until the task has finished or failed; false on time-out.
    bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return endedLocked(); });
    }

    bool ended() {
        std::lock_guard lock(mutex_);
        return endedLocked();
    }

    // Recorded state; read it only after waitForEnd() or once the handler's queue is idle.
    std::vector<std::string> events;
    std::optional<SchemeResponse> response;
    std::vector<Bytes> pieces;
    Bytes body;
    std::optional<std::string> failure;

    // Runs on the delivering thread after each data delivery (used to stop a task mid-answer).
    std::function<void(RecordingSchemeTask&)> onData;

private:
    template <typename F>
    void record(F&& change) {
        {
            std::lock_guard lock(mutex_);
            change();
        }
        changed_.notify_all();
    }

    bool endedLocked() const {
        return !events.empty() && (events.back() == "finish" || events.back() == "fail");
    }

    SchemeRequest request_;
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace velmora::test
