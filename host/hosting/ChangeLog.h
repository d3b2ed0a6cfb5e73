#pragma once

#include "RegistryPipeline.h"

namespace svcreg {

// Logs each change of the service table, with who made it, at the level a daemon's first -v
// lets through: operators see the registrations come and go.
class ChangeLog final : public TableListener {
public:
    void registered(const std::vector<ServiceRecord>& entries, const PeerCredentials* by) override;
    void removed(const std::vector<ServiceRecord>& entries, const PeerCredentials* by) override;
};

}  // namespace svcreg
