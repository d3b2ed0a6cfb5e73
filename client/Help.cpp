#include "Help.h"

#include <cctype>

namespace {

constexpr std::size_t kWidth = 79;
constexpr std::size_t kSummaryColumn = 26;

// text's words in lines of at most kWidth columns, each starting with indent.
std::string wrapped(const std::string& text, const std::string& indent) {
    std::string out, line = indent;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (line.size() > indent.size() && line.size() + 1 + word.size() > kWidth) {
            out += line + "\n";
            line = indent;
        }
        line += (line.size() > indent.size() ? " " : "") + word;
        at = end + 1;
    }
    return out + line + "\n";
}

}  // namespace

std::string parameterList(const Command& command) {
    std::string text;
    for (const char* parameter : command.parameters) {
        text += (text.empty() ? "" : " ") + std::string(parameter);
    }
    return text;
}

std::string synopsis(const Command& command) {
    return command.parameters.empty() ? command.name
                                      : command.name + (" " + parameterList(command));
}

std::string commandUsage(const Command& command) {
    std::string usage = "Usage: svcreg [options] " + synopsis(command) + "\n";
    std::string summary = command.summary;
    summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
    usage += summary + ".\n";
    if (command.details[0] != '\0') usage += "\n" + wrapped(command.details, "");
    return usage + "\nExample:\n  " + command.example + "\n\nOptions: see 'svcreg --help'.\n";
}

std::string clientUsage() {
    std::string usage =
        "Usage: svcreg [options] COMMAND [ARGUMENTS]\n"
        "Asks the service registry daemon, svcregd, which channel offers a service\n"
        "interface; registers interfaces and the creators of their proxies and invokers.\n"
        "\nCommands:\n";
    for (const Command& command : commands()) {
        std::string line = "  " + synopsis(command);
        if (line.size() + 1 < kSummaryColumn) {
            line.resize(kSummaryColumn, ' ');
        } else {
            line += "\n" + std::string(kSummaryColumn, ' ');
        }
        usage += line + command.summary + "\n";
    }
    return usage +
           "\nOptions:\n"
           "  --runtime-dir=DIR      where channel sockets live (default:\n"
           "                         $SVCREG_RUNTIME_DIR, else /run/svcreg when it exists,\n"
           "                         else $XDG_RUNTIME_DIR/svcreg, else /tmp/svcreg-<uid>)\n"
           "  --channel=NAME         the registry's channel (default: svcreg); NAME@DEVICE\n"
           "                         for the registry of another device, reached through\n"
           "                         this device's (svcregd --federate)\n"
           "  --library=PATH         the registry library (default: beside svcreg, else\n"
           "                         the system's)\n"
           "  --timeout=S            seconds wait waits for its interface (default: 10);\n"
           "                         no command but watch waits longer, start to end\n"
           "  --reply-timeout=S      seconds a command waits for its replies, retries\n"
           "                         included (default: 5)\n"
           "  -j, --json[=short|pretty]\n"
           "                         print as JSON, on standard output: one line a\n"
           "                         result, or indented; a failure as {\"error\",\n"
           "                         \"cause\", \"exitCode\"}, help as {\"help\"}\n"
           "      --no-legend        no header above a table's columns on a terminal\n"
           "      --keep             register: the entries stay when svcreg ends, until\n"
           "                         deregistered or the channel's server ends\n"
           "      --if-declared      wait: exit 1 at once when IFC is neither registered\n"
           "                         nor declared\n"
           "  -v, --verbose          log more; repeat for more detail\n"
           "  -h, --help             show this help, or with a command, its help\n"
           "      --version          show the version\n"
           "Options may stand anywhere; '--channel NAME' works as '--channel=NAME' does.\n"
           "\nExit codes:\n"
           "  0  done\n"
           "  1  not found, refused (the reason on standard error), or timed out waiting\n"
           "  2  usage: an unknown option or command, a bad argument or channel name\n"
           "  3  no registry reachable (no socket, nobody listening, permission denied),\n"
           "     registry not trusted, no reply in time, or a change unconfirmed\n"
           "  4  cannot start: the registry library does not load, or the system refuses\n"
           "     a socket\n"
           "  130  interrupted: Ctrl-C ended wait\n"
           "\nThe client trusts a registry run by root, by its own user or by the user\n"
           "$SVCREG_REGISTRY_USER names (default: svcreg), and no other.\n";
}
