#pragma once

#include <sys/types.h>

#include <string>

namespace svcreg {

// The ids of users and groups named in options and policies, from the system's account
// database; -1 when there is no such name.
constexpr uid_t kNoUser = static_cast<uid_t>(-1);
constexpr gid_t kNoGroup = static_cast<gid_t>(-1);
uid_t uidOfUser(const std::string& name);
gid_t gidOfGroup(const std::string& name);
// The user's name, or its id in digits when it has none.
std::string nameOfUser(uid_t uid);

}  // namespace svcreg
