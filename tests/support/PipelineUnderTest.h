#pragma once

#include <sys/types.h>

#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "AccessPolicy.h"
#include "CallFrom.h"
#include "Context.h"
#include "Processes.h"
#include "RegistryGate.h"
#include "RegistryPipeline.h"
#include "Service.h"
#include "ServiceRegistry.h"
#include "ServiceRegistry/RegistryLibrary.h"

namespace svcreg {

// The policy of group 100 that rules make, read from a file as the daemon reads it.
inline AccessPolicy policyOf(const std::string& rules) {
    const TempDirectory etc;
    std::ofstream(etc.path() + "/policy.conf") << rules;
    AccessPolicy policy(kUsers);
    std::string error;
    EXPECT_TRUE(policy.load(etc.path() + "/policy.conf", etc.path() + "/policy.d", error)) << error;
    return policy;
}

// The registry library, loaded as the daemon loads it, served through the pipeline with a
// journal at journalPath (none when empty), a gate that lets members of group 100 change
// anything but others' entries, and quotas.
struct PipelineUnderTest {
    explicit PipelineUnderTest(const std::string& journalPath = std::string(),
                               const RegistryQuotas& quotas = RegistryQuotas())
        : gate(AccessPolicy(kUsers), kUsers, "users", quotas) {
        static RegistryLibrary library;
        if (library.createServiceRegistry == nullptr) {
            const Outcome loaded = library.load(SERVICE_REGISTRY_LIBRARY);
            EXPECT_TRUE(loaded) << loaded.reason();
        }
        std::string error;
        loaded.reset(library.createServiceRegistry());
        loaded->init(context);
        registry = std::make_unique<RegistryPipeline>(
            *loaded, *serviceTablesOf(*loaded), gate, quotas,
            journalPath.empty() ? nullptr : std::make_unique<RegistryJournal>(journalPath));
        EXPECT_TRUE(registry->restore(error)) << error;
    }

    // What becomes of text asked by peer: empty when made, else the refusal.
    std::string ask(const PeerCredentials& peer, const std::string& text) {
        const std::optional<RegistryChange> change = RegistryChange::fromText(text);
        EXPECT_TRUE(change.has_value()) << text;
        if (!change) return "not a change";
        CallFrom call(peer);
        return registry->apply(*change, &call).refusal;
    }

    Context context;
    RegistryGate gate;
    std::unique_ptr<Service> loaded;
    std::unique_ptr<RegistryPipeline> registry;
};

}  // namespace svcreg
