#pragma once

#include <string>

#include "Method.h"

// A Method as one line, for readable expectations:
// "findSvcInterface reply channel:out='c' result:out=true".
inline std::string describe(const Method& method) {
    std::string text =
        method.getName() + (method.getType() == Method::REPLY ? " reply" : " request");
    for (const Parameter& p : method.getParameters()) {
        text += " " + p.getName() + (p.getDirection() == Parameter::OUT ? ":out=" : ":in=");
        text += p.getType() == Parameter::BOOL ? (p.getBoolValue() ? "true" : "false")
                                               : "'" + p.getStringValue() + "'";
    }
    return text;
}
