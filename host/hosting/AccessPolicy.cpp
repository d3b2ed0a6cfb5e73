#include "AccessPolicy.h"

#include <dirent.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "AccountNames.h"
#include "PeerAccount.h"
#include "ServiceRegistry/RemoteDevices.h"
#include "TrustedFile.h"

namespace svcreg {

namespace {

// Far above any policy a person writes.
constexpr std::size_t kLargestPolicyFile = 1 << 20;

bool parseNumber(const std::string& text, unsigned& number) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    number = static_cast<unsigned>(std::stoul(text));
    return true;
}

bool parsePermission(const std::string& word, bool& everything, Permission& what) {
    static const std::pair<const char*, Permission> kWords[] = {
        {"register", Permission::Register},
        {"deregister", Permission::Deregister},
        {"deregister-any", Permission::DeregisterAny},
        {"register-creator", Permission::RegisterCreator},
        {"subscribe", Permission::Subscribe},
    };
    everything = word == "all";
    if (everything) return true;
    for (const auto& [name, permission] : kWords) {
        if (word != name) continue;
        what = permission;
        return true;
    }
    return false;
}

// The files named *.conf in folder, in name order; none when it does not exist.
std::vector<std::string> dropInFiles(const std::string& folder) {
    std::vector<std::string> files;
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) return files;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".conf") == 0) {
            files.push_back(folder + "/" + name);
        }
    }
    closedir(directory);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

AccessPolicy::AccessPolicy(gid_t group) {
    if (group == static_cast<gid_t>(-1)) return;
    for (const Permission what : {Permission::Register, Permission::Deregister,
                                  Permission::RegisterCreator, Permission::Subscribe}) {
        rules.push_back(Rule{Rule::Who::Group, group, false, what, "*", "", ""});
    }
}

bool AccessPolicy::load(const std::string& file, const std::string& dropIns, std::string& error) {
    std::vector<std::string> files = dropInFiles(dropIns);
    if (access(file.c_str(), F_OK) == 0) files.insert(files.begin(), file);
    if (files.empty()) return true;
    std::vector<Rule> loaded;
    for (const std::string& each : files) {
        if (!loadFile(each, loaded, error)) return false;
    }
    rules = std::move(loaded);
    return true;
}

bool AccessPolicy::loadFile(const std::string& file, std::vector<Rule>& into,
                            std::string& error) const {
    std::string text;
    if (!readTrustedFile(file, kLargestPolicyFile, text, error)) return false;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        Rule rule{};
        std::string what;
        if (!parseRule(line, rule, what)) {
            error = file + ":" + std::to_string(number) + ": " + what;
            return false;
        }
        into.push_back(rule);
    }
    return true;
}

bool AccessPolicy::parseRule(const std::string& line, Rule& rule, std::string& error) {
    std::istringstream words(line);
    std::string allow, who, what, extra;
    words >> allow >> who >> what >> rule.pattern >> extra;
    if (allow != "allow" || what.empty() || !extra.empty()) {
        error = "expected 'allow WHO WHAT [PATTERN]'";
        return false;
    }
    if (rule.pattern.empty()) rule.pattern = "*";
    if (!parsePermission(what, rule.everything, rule.what)) {
        error = "unknown permission '" + what + "'";
        return false;
    }
    const std::size_t colon = who.find(':');
    const std::string kind = who.substr(0, colon);
    const std::string name = colon == std::string::npos ? "" : who.substr(colon + 1);
    if (kind == "device") return parseDeviceRule(name, rule, error);
    const std::size_t at = name.rfind('@');
    if (kind == "user" && at != std::string::npos) {
        rule.deviceUser = name.substr(0, at);
        if (rule.deviceUser.empty()) {
            error = "no user named in 'user:NAME@DEVICE'";
            return false;
        }
        return parseDeviceRule(name.substr(at + 1), rule, error);
    }
    rule.who = kind == "user" || kind == "uid" ? Rule::Who::User : Rule::Who::Group;
    bool known = false;
    if (who == "*") {
        rule.who = Rule::Who::Anyone;
        known = true;
    } else if (kind == "user") {
        rule.id = uidOfUser(name);
        known = rule.id != kNoUser;
    } else if (kind == "group") {
        rule.id = gidOfGroup(name);
        known = rule.id != kNoGroup;
    } else if (kind == "uid" || kind == "gid") {
        known = parseNumber(name, rule.id);
    }
    if (!known) error = "no such user or group '" + who + "'";
    return known;
}

// No account is looked up for a user of another device: its name is its device's to vouch for.
bool AccessPolicy::parseDeviceRule(const std::string& name, Rule& rule, std::string& error) {
    const bool ofUser = !rule.deviceUser.empty();
    rule.who = ofUser ? Rule::Who::DeviceUser : Rule::Who::Device;
    rule.device = name;
    if (name.empty()) {
        error = ofUser ? "no device named in 'user:NAME@DEVICE'" : "no device named in 'device:'";
        return false;
    }
    if (name != "*" && !isDeviceName(name)) {
        error = "'" + name + "' is not a device name: 1 to 63 letters, digits, '-', '_' or '.'";
        return false;
    }
    return true;
}

bool AccessPolicy::Rule::grants(Permission asked) const {
    return everything || what == asked ||
           (asked == Permission::Deregister && what == Permission::DeregisterAny);
}

bool AccessPolicy::Rule::matchesDevice(const std::string& name) const {
    return device == "*" || device == name;
}

bool AccessPolicy::matches(const Rule& rule, const PeerCredentials& peer) {
    if (peer.isRemote()) return matchesRemote(rule, peer);
    switch (rule.who) {
        case Rule::Who::Anyone:
            return true;
        case Rule::Who::User:
            return peer.uid == rule.id;
        case Rule::Who::Group:
            return peer.inGroup(rule.id);
        case Rule::Who::Device:
        case Rule::Who::DeviceUser:
            return false;
    }
    return false;
}

// Only rules that name devices: a remote caller's uid and groups are no local user's.
bool AccessPolicy::matchesRemote(const Rule& rule, const PeerCredentials& peer) {
    if (rule.who == Rule::Who::DeviceUser)
        return rule.matchesDevice(peer.device) && rule.deviceUser == peer.user;
    return rule.who == Rule::Who::Device && rule.matchesDevice(peer.device);
}

bool AccessPolicy::permits(const PeerCredentials& peer, Permission what,
                           const std::string& ifc) const {
    if (isPrivileged(peer)) return true;
    return std::any_of(rules.begin(), rules.end(), [&](const Rule& rule) {
        return rule.grants(what) && matches(rule, peer) &&
               (what == Permission::Subscribe ||
                fnmatch(rule.pattern.c_str(), ifc.c_str(), 0) == 0);
    });
}

// Only device rules that grant register say what a device may publish: one that lets a
// device's callers subscribe restricts no device's entries.
bool AccessPolicy::permitsDevice(const std::string& device, const std::string& ifc) const {
    bool ruled = false;
    for (const Rule& rule : rules) {
        if (rule.who != Rule::Who::Device || !rule.grants(Permission::Register)) continue;
        ruled = true;
        if (rule.matchesDevice(device) && fnmatch(rule.pattern.c_str(), ifc.c_str(), 0) == 0) {
            return true;
        }
    }
    return !ruled;
}

}  // namespace svcreg
