#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Json.h"

struct ClientOptions : CommonOptions {
    std::string runtimeDirectory;
    std::string registryChannel;
    std::string library;
    // How long each request waits for its answer; --timeout bounds it too.
    std::chrono::milliseconds replyTimeout{5000};
    std::chrono::milliseconds waitTimeout{10000};
    bool json = false;
    bool legend = true;       // a header above the columns of a table on a terminal
    bool keep = false;        // register: the entries outlive svcreg, as an operator's
    bool ifDeclared = false;  // wait: only for an interface registered or declared
    Json::Style jsonStyle = Json::Style::Short;
    std::string command;
    std::vector<std::string> arguments;
};

// Options may stand anywhere, with their values as "--opt VALUE" or "--opt=VALUE"; the first
// other word is the command, the rest its arguments ("--" ends the options). False, with a
// message, on bad usage.
bool parseClientOptions(int argc, char** argv, ClientOptions& options, std::string& error);
