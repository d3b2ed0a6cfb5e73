#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "Transport.h"

namespace svcreg {

// Records what a transport hands over: each frame and reply with the thread that handled it, and
// the connections closed. A thread waiting for a reply may handle replies, nothing else; peers are
// admitted while admitting holds.
class RecordingHandler final : public FrameHandler {
public:
    struct Handled {
        std::int64_t requestId;
        std::thread::id thread;
    };

    void handleFrame(const std::shared_ptr<Connection>& from, Frame& frame) override {
        beforeFrame(frame);
        record([&] {
            handled.push_back({frame.requestId, std::this_thread::get_id()});
            lastConnection = from;
        });
    }
    void handleReply(const Connection&, Frame& frame) override {
        record([&] { handled.push_back({frame.requestId, std::this_thread::get_id()}); });
    }
    bool handledWhileWaiting(const Frame& frame) override {
        return frame.kind == Frame::Kind::Reply;
    }
    void connectionClosed(const Connection&) override {
        record([&] { ++closed; });
    }
    bool admitsPeer(const PeerCredentials&, const std::string&) override { return admitting; }

    // Waits up to timeout for exactly count frames handled and closings connections closed.
    bool await(std::size_t count, int closings,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, timeout,
                                [&] { return handled.size() == count && closed == closings; });
    }
    std::vector<Handled> frames() {
        std::lock_guard<std::mutex> hold(mutex);
        return handled;
    }
    int closings() {
        std::lock_guard<std::mutex> hold(mutex);
        return closed;
    }
    // Waits up to ten seconds for a frame of a connection still open: that connection, taken, so
    // that the next call waits for another frame.
    std::shared_ptr<Connection> awaitConnection() {
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait_for(hold, std::chrono::seconds(10), [&] { return !lastConnection.expired(); });
        return std::exchange(lastConnection, {}).lock();
    }

    std::atomic<bool> admitting{true};
    // Runs on the thread that handles each frame, before it is recorded: a test may hold the
    // thread there.
    std::function<void(const Frame&)> beforeFrame = [](const Frame&) {};

private:
    template <typename Change>
    void record(Change change) {
        std::lock_guard<std::mutex> hold(mutex);
        change();
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Handled> handled;
    int closed = 0;
    std::weak_ptr<Connection> lastConnection;  // not kept open by the record
};

}  // namespace svcreg
