#pragma once

#include <string>

// Which library, and which creator function in it, makes a proxy or an invoker.
struct CreatorFunctionDetails {
    std::string lib;
    std::string creatorFn;
};
