#pragma once

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

// The names every benchmark registers: com.example.Ifc000000 onwards, one channel each.
inline std::string interfaceName(int index) {
    char name[32];
    std::snprintf(name, sizeof(name), "com.example.Ifc%06d", index);
    return name;
}

inline std::string channelName(int index) {
    char name[32];
    std::snprintf(name, sizeof(name), "channel%06d", index);
    return name;
}

// The names 0 .. count-1 in a fixed shuffled order, so that lookups spread over the whole
// table instead of hitting one hot key.
inline std::vector<std::string> spreadLookups(int count) {
    std::vector<int> order(count);
    for (int i = 0; i < count; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(12345));
    std::vector<std::string> names;
    names.reserve(order.size());
    for (int index : order) names.push_back(interfaceName(index));
    return names;
}

// Hands out the names of a spread list one after another, round and round.
class LookupCycle {
public:
    explicit LookupCycle(int count) : names(spreadLookups(count)) {}
    const std::string& next() {
        const std::string& name = names[at];
        at = at + 1 == names.size() ? 0 : at + 1;
        return name;
    }

private:
    std::vector<std::string> names;
    std::size_t at = 0;
};
