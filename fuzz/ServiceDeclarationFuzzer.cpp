// Parses arbitrary text as a service's declaration: a text refused says why, and a text taken,
// written out again in the keys' own form, parses to the same declaration (the rules of each
// key are the unit tests').

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <tuple>

#include "ServiceDeclaration.h"

using namespace svcreg;

namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

std::string written(const ServiceDeclaration& declaration) {
    std::string text =
        "Interfaces=" + joined(declaration.interfaces) + "\nChannel=" + declaration.channel + "\n";
    if (!declaration.user.empty()) text += "User=" + declaration.user + "\n";
    if (declaration.socketActivated) return text + "Activation=socket\n";
    text += "Exec=" + joined(declaration.exec) + "\n";
    if (declaration.idleExit.count() != 0) {
        text += "IdleExitSec=" + std::to_string(declaration.idleExit.count()) + "\n";
    }
    return text;
}

// What a declaration says (not the file it was read from).
auto fields(const ServiceDeclaration& d) {
    return std::tie(d.name, d.interfaces, d.channel, d.exec, d.user, d.idleExit, d.socketActivated);
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
    ServiceDeclaration again;
    if (!parseServiceDeclaration("fuzzed", written(declaration), again, error)) std::abort();
    if (fields(declaration) != fields(again)) std::abort();
    return 0;
}
