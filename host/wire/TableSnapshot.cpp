#include "TableSnapshot.h"

#include <algorithm>
#include <cstring>

namespace svcreg {

namespace {

constexpr std::uint32_t kSnapshotMagic = 0x53545253;  // "SRTS"
constexpr std::uint32_t kSnapshotVersion = 1;

// Appends text to texts; where it went, as offset and length.
std::pair<std::uint32_t, std::uint32_t> placeText(std::string& texts, std::string_view text) {
    const auto offset = static_cast<std::uint32_t>(texts.size());
    texts += text;
    return {offset, static_cast<std::uint32_t>(text.size())};
}

template <typename Row>
void appendRows(std::string& block, const std::vector<Row>& rows) {
    block.append(reinterpret_cast<const char*>(rows.data()), rows.size() * sizeof(Row));
}

std::vector<TableSnapshotView::Creator> creatorRows(std::vector<SnapshotCreator> creators,
                                                    std::string& texts) {
    std::stable_sort(
        creators.begin(), creators.end(),
        [](const SnapshotCreator& a, const SnapshotCreator& b) { return a.key < b.key; });
    std::vector<TableSnapshotView::Creator> rows;
    rows.reserve(creators.size());
    for (const SnapshotCreator& creator : creators) {
        const auto key = placeText(texts, creator.key);
        const auto lib = placeText(texts, creator.lib);
        const auto creatorFn = placeText(texts, creator.creatorFn);
        rows.push_back(
            {key.first, key.second, lib.first, lib.second, creatorFn.first, creatorFn.second});
    }
    return rows;
}

// key against the pieces of joined, put end to end: <0, 0 or >0, as std::string_view::compare.
int compareToJoined(std::string_view key, std::initializer_list<std::string_view> joined) {
    for (std::string_view piece : joined) {
        const std::size_t common = std::min(key.size(), piece.size());
        const int order = key.substr(0, common).compare(piece.substr(0, common));
        if (order != 0) return order;
        if (key.size() < piece.size()) return -1;
        key.remove_prefix(common);
    }
    return key.empty() ? 0 : 1;
}

bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

}  // namespace

struct TableSnapshotView::Header {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t generation;
    std::uint32_t entryCount;
    std::uint32_t proxyCount;
    std::uint32_t invokerCount;
    std::int64_t nextId;
    std::uint64_t textsOffset;
    std::uint64_t textsSize;
};

std::string encodeTableSnapshot(std::uint32_t generation, std::int64_t nextId,
                                const std::vector<SnapshotEntry>& entries,
                                std::vector<SnapshotCreator> proxies,
                                std::vector<SnapshotCreator> invokers) {
    std::string texts;
    std::vector<TableSnapshotView::Entry> entryRows;
    entryRows.reserve(entries.size());
    for (const SnapshotEntry& entry : entries) {
        const auto ifc = placeText(texts, entry.ifc);
        const auto channel = placeText(texts, entry.channel);
        entryRows.push_back({ifc.first, ifc.second, channel.first, channel.second, entry.svcId});
    }
    const auto proxyRows = creatorRows(std::move(proxies), texts);
    const auto invokerRows = creatorRows(std::move(invokers), texts);

    TableSnapshotView::Header header{};
    header.magic = kSnapshotMagic;
    header.version = kSnapshotVersion;
    header.generation = generation;
    header.entryCount = static_cast<std::uint32_t>(entryRows.size());
    header.proxyCount = static_cast<std::uint32_t>(proxyRows.size());
    header.invokerCount = static_cast<std::uint32_t>(invokerRows.size());
    header.nextId = nextId;
    header.textsOffset =
        sizeof(header) + entryRows.size() * sizeof(TableSnapshotView::Entry) +
        (proxyRows.size() + invokerRows.size()) * sizeof(TableSnapshotView::Creator);
    header.textsSize = texts.size();

    std::string block(reinterpret_cast<const char*>(&header), sizeof(header));
    block.reserve(header.textsOffset + texts.size());
    appendRows(block, entryRows);
    appendRows(block, proxyRows);
    appendRows(block, invokerRows);
    return block += texts;
}

// The header is read once, into the view: what it says cannot change under the view.
bool TableSnapshotView::open(const char* bytes, std::size_t size, std::string& why) {
    static_assert(sizeof(Header) % alignof(Entry) == 0 && sizeof(Entry) % alignof(Creator) == 0,
                  "rows follow the header aligned");
    if (reinterpret_cast<std::uintptr_t>(bytes) % alignof(Header) != 0 || size < sizeof(Header)) {
        why = "the table's snapshot is too short";
        return false;
    }
    Header head;
    std::memcpy(&head, bytes, sizeof(head));
    if (head.magic != kSnapshotMagic || head.version != kSnapshotVersion) {
        why = "the table's snapshot is not of this version";
        return false;
    }
    const std::uint64_t rowsEnd =
        sizeof(Header) + std::uint64_t{head.entryCount} * sizeof(Entry) +
        (std::uint64_t{head.proxyCount} + head.invokerCount) * sizeof(Creator);
    if (head.textsOffset != rowsEnd || !fits(head.textsOffset, head.textsSize, size)) {
        why = "the table's snapshot is cut short or inconsistent";
        return false;
    }
    entries = reinterpret_cast<const Entry*>(bytes + sizeof(Header));
    entriesEnd = entries + head.entryCount;
    proxies = reinterpret_cast<const Creator*>(entriesEnd);
    proxiesEnd = proxies + head.proxyCount;
    invokers = proxiesEnd;
    invokersEnd = invokers + head.invokerCount;
    texts = bytes + head.textsOffset;
    textsSize = head.textsSize;
    generationOfBlock = head.generation;
    nextIdOfBlock = head.nextId;
    return true;
}

std::uint32_t TableSnapshotView::generation() const {
    return generationOfBlock;
}

std::int64_t TableSnapshotView::nextId() const {
    return nextIdOfBlock;
}

// Rows out of order only make lookups miss: a binary search never leaves its range.
std::pair<const TableSnapshotView::Entry*, const TableSnapshotView::Entry*>
TableSnapshotView::entriesOf(std::string_view ifc) const {
    const Entry* first =
        std::lower_bound(entries, entriesEnd, ifc,
                         [&](const Entry& e, std::string_view key) { return ifcOf(e) < key; });
    const Entry* last = first;
    while (last != entriesEnd && ifcOf(*last) == ifc) ++last;
    return {first, last};
}

const TableSnapshotView::Creator* TableSnapshotView::findProxy(std::string_view ifc) const {
    return firstOf(proxies, proxiesEnd, {ifc});
}

const TableSnapshotView::Creator* TableSnapshotView::findInvoker(std::string_view ifc,
                                                                 std::string_view protocol) const {
    return firstOf(invokers, invokersEnd, {ifc, ",", protocol});
}

const TableSnapshotView::Creator* TableSnapshotView::firstOf(
    const Creator* begin, const Creator* end, std::initializer_list<std::string_view> key) const {
    const Creator* found = std::lower_bound(begin, end, key, [&](const Creator& c, const auto& k) {
        return compareToJoined(text(c.key, c.keyLength), k) < 0;
    });
    return found != end && compareToJoined(text(found->key, found->keyLength), key) == 0 ? found
                                                                                         : nullptr;
}

}  // namespace svcreg
