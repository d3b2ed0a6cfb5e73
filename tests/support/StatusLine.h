#pragma once

#include <map>
#include <string>
#include <vector>

#include "LocalTable.h"
#include "Method.h"
#include "ServiceRegistry/HostFramework.h"

// A line to the status interface of the daemon serving a runtime directory (see
// RegistryStatusProtocol.h), from a private channel of its own, and the table the daemon shares,
// as a client has them: for the tests and benchmarks of declared services.
class StatusLine {
public:
    explicit StatusLine(const std::string& runtimeDirectory);
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // The reply of method, asked with the interface ifc when not empty; empty when none came.
    Method call(const char* method, const std::string& ifc = "");
    // "STATE" or "STATE: REASON", as start answers.
    std::string start(const std::string& ifc);
    bool isDeclared(const std::string& ifc);
    // The status fact name; "none" without it.
    std::string fact(const std::string& name);
    // The "declared" rows of "list", by name: name, state, reason, channel, interfaces, pid.
    std::map<std::string, std::vector<std::string>> declaredRows();
    // The state the shared table marks ifc with; "undeclared" for none.
    std::string tableState(const std::string& ifc);

private:
    const std::string own;
    svcreg::HostFramework host;
    svcreg::LocalTable table;
};
