#include "AccountNames.h"

#include <grp.h>
#include <pwd.h>

#include <vector>

namespace svcreg {

namespace {

constexpr std::size_t kEntryBufferSize = 16384;

}  // namespace

uid_t uidOfUser(const std::string& name) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(kEntryBufferSize);
    if (name.empty() ||
        getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return kNoUser;
    }
    return entry.pw_uid;
}

gid_t gidOfGroup(const std::string& name) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(kEntryBufferSize);
    if (name.empty() ||
        getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return kNoGroup;
    }
    return entry.gr_gid;
}

std::string nameOfUser(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(kEntryBufferSize);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::to_string(uid);
    }
    return entry.pw_name;
}

}  // namespace svcreg
