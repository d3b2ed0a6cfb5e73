// WIP stand-in parser: enough to read declarations until the real one lands.
#include "ServiceDeclaration.h"

#include <dirent.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "TrustedFile.h"

namespace svcreg {

namespace {

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> split;
    for (std::string word; in >> word;) split.push_back(word);
    return split;
}

}  // namespace

bool isValidDeclarationName(std::string_view name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    });
}

bool parseServiceDeclaration(std::string_view name, std::string_view text,
                             ServiceDeclaration& declaration, std::string& error) {
    declaration = ServiceDeclaration();
    declaration.name = std::string(name);
    std::istringstream in{std::string(text)};
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        const std::size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
        if (key == "Interfaces") {
            declaration.interfaces = words(value);
        } else if (key == "Channel") {
            declaration.channel = value;
        } else if (key == "Exec") {
            declaration.exec = words(value);
        } else if (key == "User") {
            declaration.user = value;
        } else if (key == "IdleExitSec") {
            declaration.idleExit = std::chrono::seconds(std::atoi(value.c_str()));
        } else {
            error = "line " + std::to_string(number) + ": unknown key";
            return false;
        }
    }
    if (declaration.interfaces.empty() || declaration.channel.empty() || declaration.exec.empty()) {
        error = "line " + std::to_string(number) + ": Interfaces=, Channel= and Exec= are needed";
        return false;
    }
    return true;
}

DeclarationSet readServiceDeclarations(const std::vector<std::string>& folders) {
    std::map<std::string, std::string> files;
    for (const std::string& folder : folders) {
        DIR* dir = opendir(folder.c_str());
        if (dir == nullptr) continue;
        while (const dirent* entry = readdir(dir)) {
            const std::string file = entry->d_name;
            const std::string suffix = ".service";
            if (file.size() <= suffix.size() ||
                file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) {
                continue;
            }
            files[file.substr(0, file.size() - suffix.size())] = folder + "/" + file;
        }
        closedir(dir);
    }
    DeclarationSet set;
    std::set<std::string> taken;
    for (const auto& [name, path] : files) {
        std::string text, error;
        ServiceDeclaration declaration;
        if (!readTrustedFile(path, 65536, text, error)) {
            set.problems.push_back(error);
            continue;
        }
        if (!parseServiceDeclaration(name, text, declaration, error)) {
            set.problems.push_back(path + ":" + error.substr(5));
            continue;
        }
        declaration.file = path;
        for (const std::string& ifc : declaration.interfaces) taken.insert(ifc);
        set.services.push_back(std::move(declaration));
    }
    return set;
}

}  // namespace svcreg
