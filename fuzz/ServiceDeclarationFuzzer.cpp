// Parses arbitrary text as a service's declaration. A text taken must hold what the launcher
// relies on (interfaces that are single names, an absolute program, a bounded idle time), and
// written out again in the keys' own form it must parse to the same declaration.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ServiceDeclaration.h"

using namespace svcreg;

namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

std::string written(const ServiceDeclaration& declaration) {
    std::string text = "Interfaces=" + joined(declaration.interfaces) +
                       "\nChannel=" + declaration.channel + "\nExec=" + joined(declaration.exec) +
                       "\n";
    if (!declaration.user.empty()) text += "User=" + declaration.user + "\n";
    if (declaration.idleExit.count() != 0) {
        text += "IdleExitSec=" + std::to_string(declaration.idleExit.count()) + "\n";
    }
    return text;
}

bool holdsBlankOrControl(const std::string& word) {
    for (const char c : word) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return true;
    }
    return false;
}

bool sound(const ServiceDeclaration& declaration) {
    if (declaration.interfaces.empty() || declaration.exec.empty()) return false;
    for (const std::string& ifc : declaration.interfaces) {
        if (ifc.empty() || holdsBlankOrControl(ifc) || ifc.find(',') != std::string::npos) {
            return false;
        }
    }
    for (const std::string& word : declaration.exec) {
        if (word.empty() || holdsBlankOrControl(word)) return false;
    }
    const auto idle = declaration.idleExit.count();
    return declaration.exec[0][0] == '/' && !declaration.channel.empty() &&
           declaration.channel[0] != ':' && declaration.channel.find('@') == std::string::npos &&
           (idle == 0 || (idle >= 1 && idle <= 86400));
}

bool same(const ServiceDeclaration& a, const ServiceDeclaration& b) {
    return a.name == b.name && a.interfaces == b.interfaces && a.channel == b.channel &&
           a.exec == b.exec && a.user == b.user && a.idleExit == b.idleExit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ServiceDeclaration declaration;
    std::string error;
    if (!parseServiceDeclaration("fuzzed", text, declaration, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (!sound(declaration)) std::abort();
    ServiceDeclaration again;
    if (!parseServiceDeclaration("fuzzed", written(declaration), again, error)) std::abort();
    if (!same(declaration, again)) std::abort();
    return 0;
}
