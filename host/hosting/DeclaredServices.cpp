#include "DeclaredServices.h"

#include <unistd.h>

#include <algorithm>
#include <set>
#include <string_view>

#include "HostLog.h"
#include "PeerAccount.h"

namespace svcreg {

DeclaredServices::DeclaredServices(Starter& starter, std::chrono::seconds startTimeout,
                                   std::function<void()> stateChanged,
                                   std::function<Clock::time_point()> clock)
    : starter(starter),
      startTimeout(startTimeout),
      stateChanged(std::move(stateChanged)),
      clock(std::move(clock)) {}

namespace {

// What the daemon keeps of a declaration: what it answers and starts by. The launcher reads the
// rest (the program, the idle exit) again itself, and an idle declaration costs the daemon the
// less.
ServiceDeclaration whatTheDaemonKeeps(ServiceDeclaration&& read) {
    ServiceDeclaration declaration;
    declaration.name = std::move(read.name);
    declaration.interfaces = std::move(read.interfaces);
    declaration.interfaces.shrink_to_fit();
    declaration.channel = std::move(read.channel);
    declaration.socketActivated = read.socketActivated;
    // Whose the channel is: a socket-activated service's socket there is trusted when it is
    // this user's; another service's start fails at once while another user's process holds it.
    declaration.user = std::move(read.user);
    return declaration;
}

}  // namespace

void DeclaredServices::replace(std::vector<ServiceDeclaration> declarations,
                               const std::vector<ServiceRecord>& entries) {
    MutexLock hold(mutex);
    std::map<std::string, Service> kept;
    serviceOfIfc.clear();
    for (ServiceDeclaration& declaration : declarations) {
        const std::string name = declaration.name;
        auto before = services.find(name);
        Service service = before != services.end() ? std::move(before->second) : Service();
        service.declaration = whatTheDaemonKeeps(std::move(declaration));
        const std::string& user = service.declaration.user;
        service.user = user.empty() ? geteuid() : uidOfUser(user);
        service.entries = 0;
        for (const std::string& ifc : service.declaration.interfaces)
            serviceOfIfc.emplace(ifc, name);
        kept[name] = std::move(service);
    }
    // A start under way of a service no longer declared is ended: nothing would time it out.
    for (const auto& [name, service] : services) {
        if (kept.count(name) == 0 && service.state == DeclaredState::Starting && service.pid != 0)
            starter.stop(service.pid);
    }
    services = std::move(kept);
    count(entries, +1);
    for (auto& [name, service] : services) {
        if (service.entries > 0) service.state = DeclaredState::Running;
        becameIdle(service);
    }
}

std::optional<DeclaredServices::Answer> DeclaredServices::start(const std::string& ifc) {
    Answer answer;
    bool changed = false;
    {
        MutexLock hold(mutex);
        Service* service = serviceOf(ifc);
        if (service == nullptr) return std::nullopt;
        const bool idle =
            service->state == DeclaredState::Idle || service->state == DeclaredState::Failed;
        // The back-off holds whoever registered and deregistered meanwhile: only the service's
        // own registration ends it.
        const bool backedOff = clock() < service->retryAfter;
        if (idle && backedOff && service->state != DeclaredState::Failed) {
            service->state = DeclaredState::Failed;
            changed = true;
        } else if (idle && !backedOff && !service->declaration.socketActivated) {
            // Too many at once is this daemon's limit, not the service's failure: no back-off.
            if (startsUnderWay() >= kMostStartsUnderWay) {
                return Answer{DeclaredState::Failed,
                              "could not start: " + std::to_string(kMostStartsUnderWay) +
                                  " starts are under way; ask again once one has ended",
                              true};
            }
            if (service->pid != 0) {
                // Its last start did not register in time, and runs as another user, out of the
                // daemon's reach: a start at each back-off would leave one more such process
                // watched, until the starts' share of watched processes is used up.
                fail(*service, "could not start: the process of its last start, pid " +
                                   std::to_string(service->pid) + ", runs on");
            } else if (mayStartAgain(*service)) {
                launch(*service);
            } else {
                fail(*service, "started " + std::to_string(kMostStartsPerInterval) +
                                   " times within " + std::to_string(kStartInterval.count()) +
                                   " s");
            }
            changed = true;
        }
        answer = {service->state, service->state == DeclaredState::Failed ? service->reason : ""};
        // Its entries come back within a second (see RegistryHost::restoreDeclaredEntries).
        if (service->declaration.socketActivated && service->state == DeclaredState::Idle)
            answer.state = DeclaredState::Starting;
    }
    if (changed && stateChanged) stateChanged();
    return answer;
}

std::vector<DeclaredServices::SocketEntries> DeclaredServices::missingSocketEntries(
    const std::vector<ServiceRecord>& entries) const {
    std::set<std::pair<std::string_view, std::string_view>> present;
    for (const ServiceRecord& entry : entries) present.emplace(entry.ifc, entry.channel);
    std::vector<SocketEntries> missing;
    MutexLock hold(mutex);
    for (const auto& [name, service] : services) {
        const ServiceDeclaration& declaration = service.declaration;
        if (!declaration.socketActivated) continue;
        std::string names;
        for (const std::string& ifc : declaration.interfaces) {
            if (present.count({ifc, declaration.channel}) != 0) continue;
            names += (names.empty() ? "" : " ") + ifc;
        }
        if (!names.empty())
            missing.push_back({std::move(names), declaration.channel, declaration.user});
    }
    return missing;
}

std::vector<DeclaredServices::SocketEntries> DeclaredServices::socketEntries() const {
    return missingSocketEntries({});
}

bool DeclaredServices::isDeclared(const std::string& ifc) const {
    MutexLock hold(mutex);
    return serviceOfIfc.count(ifc) != 0;
}

void DeclaredServices::exited(pid_t pid, const std::string& reason) {
    bool changed = false;
    {
        MutexLock hold(mutex);
        Service* service = startedAs(pid);
        if (service == nullptr) return;
        service->pid = 0;
        if (service->state == DeclaredState::Starting) {
            fail(*service, reason);
            changed = true;
        } else {
            changed = becameIdle(*service);
        }
    }
    if (changed && stateChanged) stateChanged();
}

void DeclaredServices::timedOut(pid_t pid) {
    {
        MutexLock hold(mutex);
        Service* service = startedAs(pid);
        if (service == nullptr || service->state != DeclaredState::Starting) return;
        fail(*service, "did not register within " + std::to_string(startTimeout.count()) + " s");
        starter.stop(pid);
    }
    if (stateChanged) stateChanged();
}

std::vector<DeclaredServices::Row> DeclaredServices::rows() const {
    MutexLock hold(mutex);
    std::vector<Row> rows;
    for (const auto& [name, service] : services) {
        rows.push_back({name, service.state, service.reason, service.declaration.channel,
                        service.declaration.interfaces, service.pid});
    }
    return rows;
}

std::vector<std::pair<std::string, DeclaredState>> DeclaredServices::interfaces() const {
    MutexLock hold(mutex);
    std::vector<std::pair<std::string, DeclaredState>> interfaces;
    for (const auto& [ifc, name] : serviceOfIfc)
        interfaces.emplace_back(ifc, services.at(name).state);
    return interfaces;
}

std::string DeclaredServices::registrationRefusal(
    const PeerCredentials& by, const std::vector<std::string>& interfaces) const {
    if (isPrivileged(by)) return std::string();
    MutexLock hold(mutex);
    for (const std::string& ifc : interfaces) {
        const auto named = serviceOfIfc.find(ifc);
        if (named == serviceOfIfc.end()) continue;
        const Service* service = &services.at(named->second);
        if (!by.isRemote() && by.uid == service->user) continue;
        const std::string& user = service->declaration.user;
        return "interface '" + ifc + "' belongs to declared service '" + service->declaration.name +
               "', which runs as " +
               (user.empty() ? std::string("the registry's user") : "user '" + user + "'");
    }
    return std::string();
}

std::vector<DeclaredServices::Usurped> DeclaredServices::usurped(
    const std::vector<ServiceRecord>& entries,
    const std::function<uid_t(ServiceId)>& ownerOf) const {
    std::vector<Usurped> found;
    std::set<std::pair<std::string, std::string>> rightful;  // interface, channel
    for (const ServiceRecord& entry : entries) {
        if (!isDeclared(entry.ifc)) continue;
        PeerCredentials owner;
        owner.uid = ownerOf(entry.svcId);
        std::string why = registrationRefusal(owner, {entry.ifc});
        if (why.empty()) {
            rightful.emplace(entry.ifc, entry.channel);
        } else {
            found.push_back({entry, owner.uid, std::move(why)});
        }
    }
    found.erase(std::remove_if(found.begin(), found.end(),
                               [&](const Usurped& other) {
                                   return rightful.count({other.entry.ifc, other.entry.channel});
                               }),
                found.end());
    return found;
}

// A registration while Starting or Failed is as good as the start's: whoever made it (root,
// the daemon's or the service's user), the service is there.
void DeclaredServices::registered(const std::vector<ServiceRecord>& entries,
                                  const PeerCredentials* by) {
    MutexLock hold(mutex);
    count(entries, +1);
    for (const ServiceRecord& entry : entries) {
        Service* service = servedAt(entry);
        if (service == nullptr) continue;
        const bool itsOwnStart = by != nullptr && service->pid != 0 && by->pid == service->pid;
        if (itsOwnStart) {
            service->reason.clear();
            service->backOff = kFirstBackOff;
            service->retryAfter = Clock::time_point();
        } else if (service->state == DeclaredState::Starting) {
            continue;  // the start timeout still runs for the process started
        }
        service->state = DeclaredState::Running;
    }
}

void DeclaredServices::removed(const std::vector<ServiceRecord>& entries, const PeerCredentials*) {
    MutexLock hold(mutex);
    count(entries, -1);
    for (const ServiceRecord& entry : entries) {
        if (Service* service = servedAt(entry)) becameIdle(*service);
    }
}

DeclaredServices::Service* DeclaredServices::serviceOf(const std::string& ifc) {
    const auto named = serviceOfIfc.find(ifc);
    return named != serviceOfIfc.end() ? &services.at(named->second) : nullptr;
}

DeclaredServices::Service* DeclaredServices::servedAt(const ServiceRecord& entry) {
    Service* service = serviceOf(entry.ifc);
    return service != nullptr && service->declaration.channel == entry.channel ? service : nullptr;
}

DeclaredServices::Service* DeclaredServices::startedAs(pid_t pid) {
    for (auto& [name, service] : services) {
        if (service.pid == pid) return &service;
    }
    return nullptr;
}

void DeclaredServices::launch(Service& service) {
    std::string why;
    const pid_t pid = starter.start(service.declaration, why);
    if (pid == 0) {
        fail(service, why);
        return;
    }
    service.pid = pid;
    service.state = DeclaredState::Starting;
    service.reason.clear();
}

// Starts are counted over the interval that ends now: fixed intervals would let as many again
// through at the start of one as at the end of the last.
bool DeclaredServices::mayStartAgain(Service& service) {
    const Clock::time_point now = clock();
    std::deque<Clock::time_point>& starts = service.recentStarts;
    while (!starts.empty() && now - starts.front() >= kStartInterval) starts.pop_front();
    if (starts.size() >= static_cast<std::size_t>(kMostStartsPerInterval)) return false;
    starts.push_back(now);
    return true;
}

void DeclaredServices::fail(Service& service, std::string reason) {
    service.state = DeclaredState::Failed;
    service.reason = std::move(reason);
    service.retryAfter = clock() + service.backOff;
    HOST_FAILURE("Declared service '%s' failed: %s; it is not started again for %lld s",
                 service.declaration.name.c_str(), service.reason.c_str(),
                 static_cast<long long>(service.backOff.count()));
    service.backOff = std::min(service.backOff * 2, kLongestBackOff);
}

void DeclaredServices::count(const std::vector<ServiceRecord>& entries, int sign) {
    for (const ServiceRecord& entry : entries) {
        Service* service = servedAt(entry);
        if (service == nullptr) continue;
        service->entries = sign > 0 ? service->entries + 1
                                    : service->entries - std::min<std::size_t>(service->entries, 1);
    }
}

std::size_t DeclaredServices::startsUnderWay() const {
    return static_cast<std::size_t>(std::count_if(
        services.begin(), services.end(),
        [](const auto& named) { return named.second.state == DeclaredState::Starting; }));
}

// Running with no entry left and no process of its own: nobody serves it.
bool DeclaredServices::becameIdle(Service& service) {
    if (service.state != DeclaredState::Running || service.entries > 0 || service.pid != 0) {
        return false;
    }
    service.state = DeclaredState::Idle;
    return true;
}

}  // namespace svcreg
