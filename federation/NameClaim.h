#pragma once

#include <cstdint>
#include <vector>

// A device's claim of its name: when it started, and a random number for two that started in
// the same nanosecond. Of two devices that claim one name, the earlier holds it.
struct NameClaim {
    std::int64_t startNs = 0;
    std::uint64_t nonce = 0;
    std::uint64_t participant = 0;  // the DDS participant that claims, which the claim binds
};

// Whether a is the earlier claim: by start time, then by nonce.
bool claimPrecedes(const NameClaim& a, const NameClaim& b);

// Whether own keeps its name beside the other live claims of it: only when it precedes each.
bool keepsName(const NameClaim& own, const std::vector<NameClaim>& others);
