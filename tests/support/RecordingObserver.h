#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Executable.h"
#include "ServiceRegistryObserverIfc.h"

// Records every name it is told, in order, then calls react, if set, with it (outside its lock);
// several observers may share one journal, which then records "label:name" so that the order
// across observers shows.
class RecordingObserver : public ServiceRegistryObserverIfc {
public:
    RecordingObserver() = default;
    RecordingObserver(std::string label, std::vector<std::string>* journal)
        : label(std::move(label)), journal(journal) {}
    virtual ~RecordingObserver() = default;

    void newServiceIfcRegistered(std::string ifc) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (journal != nullptr) journal->push_back(label + ":" + ifc);
            received.push_back(ifc);
        }
        if (react) react(ifc);
    }

    std::vector<std::string> names() const {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

    std::function<void(const std::string&)> react;  // set before subscribing

private:
    std::string label;
    std::vector<std::string>* journal = nullptr;  // not owned; guarded by the caller's threads
    mutable std::mutex mutex;                     // guards received and the journal writes
    std::vector<std::string> received;
};

// An observer that is also an Executable, as one subscribed through a registry proxy must be.
class ExecutableObserver final : public Executable, public RecordingObserver {
public:
    using RecordingObserver::RecordingObserver;
    void init(Context&) override {}
    void shutdown() override {}
};
