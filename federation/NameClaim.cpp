#include "NameClaim.h"

#include <tuple>

bool claimPrecedes(const NameClaim& a, const NameClaim& b) {
    return std::tie(a.startNs, a.nonce) < std::tie(b.startNs, b.nonce);
}

bool keepsName(const NameClaim& own, const std::vector<NameClaim>& others) {
    for (const NameClaim& other : others) {
        if (!claimPrecedes(own, other)) return false;
    }
    return true;
}
