#include "WorkTime.h"

namespace svcreg {

std::string WorkTime::refusal() {
    return "its subscriptions took more than their share of the registry's time (a tenth of a "
           "second each second, a second at once): finding who serves a channel reads the "
           "system's table of file locks, as long as its locks make it";
}

}  // namespace svcreg
