#pragma once

#include <memory>
#include <string>

#include "Context.h"
#include "HostFramework.h"
#include "RegistryLibrary.h"

class Invoker;
class Service;

// The registry and its invoker, made by the loaded library and served on one channel: text
// messages go to the registry's handleMsg, method calls to the invoker.
class RegistryDaemon {
public:
    RegistryDaemon(const HostOptions& options, std::string channel);
    ~RegistryDaemon();
    RegistryDaemon(const RegistryDaemon&) = delete;
    RegistryDaemon& operator=(const RegistryDaemon&) = delete;

    // Makes the objects and binds the channel, on the listening socket given if it is valid.
    // False, with a message, when the library lacks something or another process serves the
    // channel.
    bool start(const std::string& libraryPath, std::string& error, UniqueFd listener = UniqueFd());
    // Stops serving and removes the channel's socket; the objects are destroyed after.
    void stop();

private:
    const std::string channel;
    Context context;
    HostFramework framework;
    // Destroyed before the framework, and only once it has stopped calling them.
    std::unique_ptr<Service> registry;
    std::unique_ptr<Invoker> invoker;
};
