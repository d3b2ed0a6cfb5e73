#include "UserRate.h"

namespace svcreg {

namespace {

// A full bucket holds this many seconds' worth of the rate.
constexpr double kBurstSeconds = 10.0;

double burstOf(std::size_t perSecond) {
    return kBurstSeconds * static_cast<double>(perSecond);
}

}  // namespace

UserRate::UserRate(const char* what, std::size_t perSecond)
    : what(what),
      perSecond(perSecond),
      bucket(burstOf(perSecond), static_cast<double>(perSecond)) {}

std::string UserRate::refusal() const {
    return std::string("over the rate of ") + what + " (" + std::to_string(perSecond) +
           " a second per user, " + std::to_string(static_cast<std::size_t>(burstOf(perSecond))) +
           " at once)";
}

}  // namespace svcreg
