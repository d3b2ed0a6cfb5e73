#pragma once

#include <string>

#include "Frame.h"

namespace svcreg {

// The longest user name a device may vouch for.
constexpr std::size_t kMaxVouchedUserName = 255;

// Whether name may be vouched for as a user of another device: 1 to kMaxVouchedUserName bytes,
// none a control character, so that it reads as one name in log lines and policies.
bool isVouchableUser(const std::string& name);

// The Vouch frame that makes a connection's peer user of device (see Transport::takeVouch).
Frame vouchFrame(const std::string& device, const std::string& user);

// The device and user a Vouch's data names; false when it names no valid pair.
bool readVouch(const std::string& data, std::string& device, std::string& user);

}  // namespace svcreg
