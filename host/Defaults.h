#pragma once

// The channel the registry daemon serves unless told otherwise; the client's default too.
constexpr const char* kDefaultRegistryChannel = "svcreg";
