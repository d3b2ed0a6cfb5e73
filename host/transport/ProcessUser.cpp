#include "ProcessUser.h"

#include <fstream>
#include <sstream>
#include <string>

namespace svcreg {

uid_t effectiveUserOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) != 0) continue;
        unsigned long real = 0, effective = 0;
        std::istringstream(line.substr(4)) >> real >> effective;
        return static_cast<uid_t>(effective);
    }
    return static_cast<uid_t>(-1);
}

}  // namespace svcreg
