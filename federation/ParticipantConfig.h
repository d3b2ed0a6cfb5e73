#pragma once

#include <string>

#include "FederationOptions.h"

// Cyclone DDS's XML configuration of this device's domain, from options (which
// federationOptionsError accepts): the interface; the unicast peers, when there are, and then no
// multicast; the participant's lease; with a security directory, DDS Security's plug-ins from
// pluginDirectory and the directory's six files.
std::string participantConfig(const FederationOptions& options, const std::string& pluginDirectory);
