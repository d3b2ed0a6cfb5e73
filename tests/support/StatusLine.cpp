#include "StatusLine.h"

#include <unistd.h>

#include <optional>

#include "HostOptionsIn.h"
#include "RegistryStatusProtocol.h"
#include "RuntimeDirectory.h"
#include "ServiceRegistry/Defaults.h"
#include "WireRows.h"

using namespace svcreg;
namespace Wire = RegistryStatusProtocol;

StatusLine::StatusLine(const std::string& runtimeDirectory)
    : own(RuntimeDirectory::newPrivateChannel()),
      host(hostOptionsIn(runtimeDirectory)),
      table(
          runtimeDirectory + "/" + kDefaultRegistryChannel, kDefaultRegistryChannel,
          [](const PeerCredentials& peer) { return peer.uid == geteuid(); },
          std::chrono::seconds(10), host) {
    host.bindChannel(own, nullptr);
    host.start();
}

StatusLine::~StatusLine() {
    host.stop();
}

Method StatusLine::call(const char* method, const std::string& ifc) {
    Method request(method, Method::REQUEST);
    if (!ifc.empty()) request.addStringParameter(Wire::kInterfaceParameter, ifc, Parameter::IN);
    Method reply;
    if (!host.call(kDefaultRegistryChannel, Wire::kInterface, own, request, reply)) {
        return Method();
    }
    return reply;
}

std::string StatusLine::start(const std::string& ifc) {
    const Method reply = call(Wire::kStart, ifc);
    std::string state = "no answer", reason;
    reply.getStringParameter(Wire::kState, state, Parameter::OUT);
    reply.getStringParameter(Wire::kReason, reason, Parameter::OUT);
    return reason.empty() ? state : state + ": " + reason;
}

bool StatusLine::isDeclared(const std::string& ifc) {
    bool declared = false;
    call(Wire::kIsDeclared, ifc).getBoolParameter(Wire::kDeclared, declared, Parameter::OUT);
    return declared;
}

std::string StatusLine::fact(const std::string& name) {
    std::string value = "none";
    call(Wire::kStatus).getStringParameter(name, value, Parameter::OUT);
    return value;
}

std::map<std::string, std::vector<std::string>> StatusLine::declaredRows() {
    std::string text;
    call(Wire::kList).getStringParameter(Wire::kDeclared, text, Parameter::OUT);
    std::vector<WireRows::Row> rows;
    std::map<std::string, std::vector<std::string>> byName;
    if (!WireRows::decode(text, Wire::kDeclaredFields, rows)) return byName;
    for (const WireRows::Row& row : rows) byName[row.fields[0]] = row.fields;
    return byName;
}

std::string StatusLine::tableState(const std::string& ifc) {
    const std::optional<DeclaredState> state = table.declaredState(ifc);
    return state ? std::string(declaredStateName(*state)) : "undeclared";
}
