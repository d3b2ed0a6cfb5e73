#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ServiceRegistry/DeviceCalls.h"

// A gateway that records what the link layer tells it, and sends through the sender it was given.
class RecordingDeviceCalls : public svcreg::DeviceCalls {
public:
    using Received = std::pair<std::string, svcreg::DeviceMessage>;

    bool carryOver(Sender sending, std::string&) override {
        std::lock_guard<std::mutex> lock(mutex);
        sender = std::move(sending);
        return true;
    }
    void received(const std::string& device, svcreg::DeviceMessage message) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.emplace_back(device, std::move(message));
    }
    void linkLost(const std::string& device) override {
        std::lock_guard<std::mutex> lock(mutex);
        lost.push_back(device);
    }

    bool send(const std::string& device, svcreg::DeviceMessage message) {
        Sender sending;
        {
            std::lock_guard<std::mutex> lock(mutex);
            sending = sender;
        }
        return sending && sending(device, std::move(message), std::string());
    }
    std::vector<Received> receivedSoFar() const {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
    std::vector<std::string> lostSoFar() const {
        std::lock_guard<std::mutex> lock(mutex);
        return lost;
    }

private:
    mutable std::mutex mutex;
    Sender sender;
    std::vector<Received> messages;
    std::vector<std::string> lost;
};
