#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "CreatorFunctionDetails.h"
#include "SvcDetails.h"

// What a registry must hold and answer after a sequence of operations, worked out the plain
// way: lists in registration order, searched from the front. The state-machine fuzzer compares
// the real registry with it after every step.
class RegistryModel {
public:
    static constexpr int kNullObserver = -1;

    explicit RegistryModel(int observers) : toldNames(observers) {}

    // The result registerSvcInterface must give; records the entries and whom to tell.
    bool registerSvcInterface(const std::string& ifc, const std::string& channel) {
        if (ifc.empty() || channel.empty()) return false;
        for (const std::string& name : pieces(ifc)) entries.push_back({name, channel, nextId});
        ++nextId;
        for (const std::string& name : pieces(ifc)) {
            for (int observer : subscribers) {
                if (observer != kNullObserver) toldNames[observer].push_back(name);
            }
        }
        return true;
    }

    void deregisterSvcInterfaces(const std::string& ifc, const std::string& channel) {
        for (const std::string& name : pieces(ifc)) {
            entries.erase(std::remove_if(entries.begin(), entries.end(),
                                         [&](const Entry& entry) {
                                             return entry.name == name && entry.channel == channel;
                                         }),
                          entries.end());
        }
    }

    // The channel of the oldest entry of name still present, if any. Lookups of the empty
    // name find nothing, although registration stores it.
    bool findSvcInterface(const std::string& name, std::string& channel) const {
        if (name.empty()) return false;
        for (const Entry& entry : entries) {
            if (entry.name == name) {
                channel = entry.channel;
                return true;
            }
        }
        return false;
    }

    std::vector<std::string> findSvcsForIfc(const std::string& name) const {
        std::vector<std::string> channels;
        if (name.empty()) return channels;
        for (const Entry& entry : entries) {
            if (entry.name == name) channels.push_back(entry.channel);
        }
        return channels;
    }

    // Every entry by name, byte-wise ascending, and in registration order within a name.
    std::vector<SvcDetails> getSvcDetailsList() const {
        std::vector<Entry> sorted = entries;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const Entry& a, const Entry& b) { return a.name < b.name; });
        std::vector<SvcDetails> details;
        for (const Entry& entry : sorted) {
            details.push_back({entry.name, std::to_string(entry.id), entry.channel});
        }
        return details;
    }

    // A subscription is told every distinct non-empty name already registered, in ascending
    // order, and every name registered from then on.
    void subscribe(int observer) {
        subscribers.push_back(observer);
        if (observer == kNullObserver) return;
        std::vector<std::string> names;
        for (const Entry& entry : entries) {
            if (!entry.name.empty()) names.push_back(entry.name);
        }
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        toldNames[observer].insert(toldNames[observer].end(), names.begin(), names.end());
    }

    void unsubscribe(int observer) {
        const auto at = std::find(subscribers.begin(), subscribers.end(), observer);
        if (at != subscribers.end()) subscribers.erase(at);
    }

    const std::vector<std::string>& told(int observer) const { return toldNames[observer]; }

    // The creator tables: one list per table of (key, creator), without exact repeats.
    enum Table { Proxies, Invokers };

    void registerCreator(Table table, const std::string& key, const CreatorFunctionDetails& made) {
        for (const auto& [storedKey, stored] : creators[table]) {
            if (storedKey == key && stored.lib == made.lib && stored.creatorFn == made.creatorFn)
                return;
        }
        creators[table].push_back({key, made});
    }

    // The first creator registered under key, if any.
    bool findCreator(Table table, const std::string& key, CreatorFunctionDetails& found) const {
        for (const auto& [storedKey, stored] : creators[table]) {
            if (storedKey == key) {
                found = stored;
                return true;
            }
        }
        return false;
    }

private:
    struct Entry {
        std::string name;
        std::string channel;
        int id;
    };

    // The names of a list, cut at every single space; empty pieces count.
    static std::vector<std::string> pieces(const std::string& list) {
        std::vector<std::string> names(1);
        for (char c : list) {
            if (c == ' ')
                names.emplace_back();
            else
                names.back().push_back(c);
        }
        return names;
    }

    std::vector<Entry> entries;  // in registration order
    int nextId = 1;
    std::vector<int> subscribers;  // observer numbers in order of subscription
    std::vector<std::vector<std::string>> toldNames;
    std::vector<std::pair<std::string, CreatorFunctionDetails>> creators[2];
};
