#pragma once

/// \file
/// The export attribute of libHostRuntime.

/// Symbols of the host runtime library that the daemon, the client and other hosts link
/// against. Everything else in the library is built with hidden visibility.
#define HOST_API __attribute__((visibility("default")))
