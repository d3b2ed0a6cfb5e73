#include "SnapshotLookups.h"

namespace svcreg::SnapshotLookups {

namespace {

// The registry keeps no entry under the empty name that a lookup could find.
const TableSnapshotView::Entry* firstEntryOf(const TableSnapshotView& table,
                                             const std::string& ifc) {
    if (ifc.empty()) return nullptr;
    const auto [first, last] = table.entriesOf(ifc);
    return first != last ? first : nullptr;
}

bool takeCreator(const TableSnapshotView& table, const TableSnapshotView::Creator* found,
                 CreatorRecord& creator) {
    if (found == nullptr) return false;
    creator.lib = std::string(table.text(found->lib, found->libLength));
    creator.creatorFn = std::string(table.text(found->creatorFn, found->creatorFnLength));
    return true;
}

}  // namespace

bool findChannel(const TableSnapshotView& table, const std::string& ifc, std::string& channel) {
    const TableSnapshotView::Entry* found = firstEntryOf(table, ifc);
    if (found == nullptr) return false;
    channel = std::string(table.channelOf(*found));
    return true;
}

bool findServiceId(const TableSnapshotView& table, const std::string& ifc, ServiceId& svcId) {
    const TableSnapshotView::Entry* found = firstEntryOf(table, ifc);
    if (found == nullptr) return false;
    svcId = found->svcId;
    return true;
}

bool channelList(const TableSnapshotView& table, const std::string& ifc,
                 std::vector<std::string>& channels) {
    channels.clear();
    if (ifc.empty()) return false;
    const auto [first, last] = table.entriesOf(ifc);
    std::size_t textBytes = 0;
    for (auto entry = first; entry != last && textBytes <= table.textBytes(); ++entry) {
        channels.emplace_back(table.channelOf(*entry));
        textBytes += channels.back().size();
    }
    return !channels.empty();
}

// Each text is in the block once: rows that point at more than the texts hold were read while
// the block was written over (see channelList too), and what they say is thrown away before it
// takes more memory.
bool detailsList(const TableSnapshotView& table, std::vector<ServiceRecord>& records) {
    records.clear();
    records.reserve(table.entryCount());
    std::size_t textBytes = 0;
    for (std::size_t i = 0; i < table.entryCount() && textBytes <= table.textBytes(); ++i) {
        const TableSnapshotView::Entry& entry = table.entryAt(i);
        records.push_back(
            {std::string(table.ifcOf(entry)), entry.svcId, std::string(table.channelOf(entry))});
        textBytes += records.back().ifc.size() + records.back().channel.size();
    }
    return true;
}

bool findInvoker(const TableSnapshotView& table, const std::string& ifc,
                 const std::string& protocol, CreatorRecord& creator) {
    return takeCreator(table, table.findInvoker(ifc, protocol), creator);
}

bool findProxy(const TableSnapshotView& table, const std::string& ifc, CreatorRecord& creator) {
    return takeCreator(table, table.findProxy(ifc), creator);
}

bool isRegistered(const TableSnapshotView& table, const std::string& ifc) {
    return firstEntryOf(table, ifc) != nullptr;
}

}  // namespace svcreg::SnapshotLookups
