#pragma once

/// \file
/// The export attribute of libComponentFramework.

/// Symbols of the framework library that hosts and plug-ins link against. Everything else in the
/// library is built with hidden visibility.
#define FRAMEWORK_API __attribute__((visibility("default")))
