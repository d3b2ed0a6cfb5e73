#pragma once

/// \file
/// A creator table's entry.

#include <string>

/// Which library, and which creator function in it, makes a proxy or an invoker.
struct CreatorFunctionDetails {
    std::string lib;        ///< The plug-in library's file name or path.
    std::string creatorFn;  ///< The name of the extern "C" creator function in it.
};
