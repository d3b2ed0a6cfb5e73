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

bool findChannel(const TableSnapshotView& table, const std::vector<std::string>& arguments,
                 std::string& channel) {
    const TableSnapshotView::Entry* found = firstEntryOf(table, arguments[0]);
    if (found == nullptr) return false;
    channel = std::string(table.channelOf(*found));
    return true;
}

bool findServiceId(const TableSnapshotView& table, const std::vector<std::string>& arguments,
                   ServiceId& svcId) {
    const TableSnapshotView::Entry* found = firstEntryOf(table, arguments[0]);
    if (found == nullptr) return false;
    svcId = found->svcId;
    return true;
}

bool channelList(const TableSnapshotView& table, const std::vector<std::string>& arguments,
                 std::vector<std::string>& channels) {
    channels.clear();
    if (arguments[0].empty()) return false;
    const auto [first, last] = table.entriesOf(arguments[0]);
    for (auto entry = first; entry != last; ++entry) channels.emplace_back(table.channelOf(*entry));
    return !channels.empty();
}

bool detailsList(const TableSnapshotView& table, const std::vector<std::string>&,
                 std::vector<ServiceRecord>& records) {
    records.clear();
    records.reserve(table.entryCount());
    for (std::size_t i = 0; i < table.entryCount(); ++i) {
        const TableSnapshotView::Entry& entry = table.entryAt(i);
        records.push_back(
            {std::string(table.ifcOf(entry)), entry.svcId, std::string(table.channelOf(entry))});
    }
    return true;
}

bool findInvoker(const TableSnapshotView& table, const std::vector<std::string>& arguments,
                 CreatorRecord& creator) {
    return takeCreator(table, table.findInvoker(arguments[0], arguments[1]), creator);
}

bool findProxy(const TableSnapshotView& table, const std::vector<std::string>& arguments,
               CreatorRecord& creator) {
    return takeCreator(table, table.findProxy(arguments[0]), creator);
}

bool isRegistered(const TableSnapshotView& table, const std::string& ifc) {
    return firstEntryOf(table, ifc) != nullptr;
}

}  // namespace svcreg::SnapshotLookups
