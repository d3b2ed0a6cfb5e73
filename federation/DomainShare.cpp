#include "DomainShare.h"

#include <dds/dds.h>

#include <map>

#include "Mutex.h"

namespace {

struct SharedDomain {
    dds_entity_t handle = 0;
    std::string config;
    int users = 0;
};

svcreg::Mutex domainsMutex;  // guards domains; held while Cyclone creates or deletes one
std::map<std::uint32_t, SharedDomain> domains TS_GUARDED_BY(domainsMutex);

}  // namespace

bool DomainShare::acquire(std::uint32_t id, const std::string& config, std::string& error) {
    svcreg::MutexLock lock(domainsMutex);
    SharedDomain& domain = domains[id];
    if (domain.users == 0) {
        domain.handle = dds_create_domain(id, config.c_str());
        if (domain.handle < 0) {
            error = std::string("DDS refuses the configuration of domain ") + std::to_string(id) +
                    ": " + dds_strretcode(domain.handle);
            domains.erase(id);
            return false;
        }
        domain.config = config;
    } else if (domain.config != config) {
        error =
            "DDS domain " + std::to_string(id) + " runs in this process with another configuration";
        return false;
    }
    ++domain.users;
    return true;
}

void DomainShare::release(std::uint32_t id) {
    svcreg::MutexLock lock(domainsMutex);
    const auto domain = domains.find(id);
    if (domain == domains.end() || --domain->second.users > 0) return;
    dds_delete(domain->second.handle);
    domains.erase(domain);
}
