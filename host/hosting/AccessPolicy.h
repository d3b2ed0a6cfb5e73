#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "ServiceRegistry/PeerCredentials.h"

namespace svcreg {

// What a peer may change in the registry. Looking up is open to everyone who may connect.
enum class Permission {
    Register,         // register interfaces whose names match
    Deregister,       // deregister the entries it registered itself
    DeregisterAny,    // deregister entries of other users too
    RegisterCreator,  // register proxy and invoker creators of interfaces whose names match
    Subscribe,        // hear of every new interface
};

// Which users and groups may do what. A policy is a list of rules, one a line:
//
//     allow WHO WHAT [PATTERN]
//
// WHO is user:NAME, group:NAME, uid:N, gid:N or *; WHAT is register, deregister,
// deregister-any, register-creator, subscribe or all; PATTERN is a shell pattern of interface
// names (default *), unused by subscribe. '#' starts a comment. Root, and the user the daemon
// runs as, may always do everything.
//
// Callers on other devices of the federation are named by device:NAME (every caller of that
// device, or of every device for *) and user:NAME@DEVICE (one user of that device, as its device
// vouches for it; DEVICE may be *; a local user whose name holds '@' is named by uid:N), with
// any WHAT. Rules for local users and groups, '*' included, never apply to them, nor theirs to
// local users, and none of them is root or the daemon's user: a remote caller may change only
// what a rule naming its device or user allows.
//
// A device:NAME rule that grants register also says which interfaces that device may publish
// here: without any such rule every device may publish every interface; with one, only what a
// rule of that kind allows.
class AccessPolicy {
public:
    // The policy without a file: members of group (none when -1) may do everything but
    // deregister other users' entries.
    explicit AccessPolicy(gid_t group);

    // Reads file, then the files named *.conf in dropIns in name order, in place of the
    // policy without a file; keeps that one when none of them exists. False, with
    // "file:line: what is wrong", for a line it cannot read or a user or group that does not
    // exist, and with the file's name and the reason for a file not to be trusted: one that is
    // not a regular file, belongs to someone other than root and this process's user, or that
    // group or others may write.
    bool load(const std::string& file, const std::string& dropIns, std::string& error);

    bool permits(const PeerCredentials& peer, Permission what, const std::string& ifc) const;
    // Whether another device of the federation may publish entries of ifc.
    bool permitsDevice(const std::string& device, const std::string& ifc) const;

private:
    struct Rule {
        enum class Who { Anyone, User, Group, Device, DeviceUser } who;
        unsigned id;  // uid or gid
        bool everything;
        Permission what;
        std::string pattern;
        std::string device;      // a device's name, or "*"
        std::string deviceUser;  // DeviceUser: the user's name on that device

        bool grants(Permission asked) const;
        bool matchesDevice(const std::string& name) const;
    };

    bool loadFile(const std::string& file, std::vector<Rule>& into, std::string& error) const;
    static bool parseRule(const std::string& line, Rule& rule, std::string& error);
    // The rule of device:NAME, or of user:NAME@DEVICE when deviceUser is set.
    static bool parseDeviceRule(const std::string& name, Rule& rule, std::string& error);
    static bool matches(const Rule& rule, const PeerCredentials& peer);
    static bool matchesRemote(const Rule& rule, const PeerCredentials& peer);

    std::vector<Rule> rules;
};

}  // namespace svcreg
