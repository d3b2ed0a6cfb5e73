#include "TableSnapshot.h"

#include <algorithm>
#include <cstring>

namespace svcreg {

struct TableSnapshotView::Header {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t generation;
    std::uint32_t entryCount;
    std::uint32_t proxyCount;
    std::uint32_t invokerCount;
    std::uint32_t declaredCount;
    std::uint32_t unused;
    std::int64_t nextId;
    std::uint64_t textsOffset;
    std::uint64_t textsSize;
};

namespace {

constexpr std::uint32_t kSnapshotMagic = 0x53545253;  // "SRTS"
constexpr std::uint32_t kSnapshotVersion = 2;

void sortByKey(std::vector<SnapshotCreator>& creators) {
    std::stable_sort(
        creators.begin(), creators.end(),
        [](const SnapshotCreator& a, const SnapshotCreator& b) { return a.key < b.key; });
}

std::size_t textBytesOf(const std::vector<SnapshotCreator>& creators) {
    std::size_t bytes = 0;
    for (const SnapshotCreator& c : creators)
        bytes += c.key.size() + c.lib.size() + c.creatorFn.size();
    return bytes;
}

// Writes rows and texts one after the other into a block sized for them.
class BlockWriter {
public:
    BlockWriter(char* block, std::size_t textsOffset)
        : rows(block + sizeof(TableSnapshotView::Header)), texts(block + textsOffset) {}

    template <typename Row>
    void row(const Row& row) {
        std::memcpy(rows, &row, sizeof(row));
        rows += sizeof(row);
    }
    // Where text went, as offset and length.
    std::pair<std::uint32_t, std::uint32_t> text(std::string_view text) {
        std::memcpy(texts + textsUsed, text.data(), text.size());
        const auto offset = static_cast<std::uint32_t>(textsUsed);
        textsUsed += text.size();
        return {offset, static_cast<std::uint32_t>(text.size())};
    }
    void creators(const std::vector<SnapshotCreator>& creators) {
        for (const SnapshotCreator& creator : creators) {
            const auto key = text(creator.key);
            const auto lib = text(creator.lib);
            const auto creatorFn = text(creator.creatorFn);
            row(TableSnapshotView::Creator{key.first, key.second, lib.first, lib.second,
                                           creatorFn.first, creatorFn.second});
        }
    }
    std::size_t textBytes() const { return textsUsed; }

private:
    char* rows;
    char* const texts;
    std::size_t textsUsed = 0;
};

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

std::size_t tableSnapshotSize(const std::vector<SnapshotEntry>& entries,
                              const std::vector<SnapshotCreator>& proxies,
                              const std::vector<SnapshotCreator>& invokers,
                              const std::vector<SnapshotDeclared>& declared) {
    std::size_t texts = textBytesOf(proxies) + textBytesOf(invokers);
    for (const SnapshotEntry& entry : entries) texts += entry.ifc.size() + entry.channel.size();
    for (const SnapshotDeclared& row : declared) texts += row.ifc.size();
    return sizeof(TableSnapshotView::Header) + entries.size() * sizeof(TableSnapshotView::Entry) +
           (proxies.size() + invokers.size()) * sizeof(TableSnapshotView::Creator) +
           declared.size() * sizeof(TableSnapshotView::Declared) + texts;
}

void writeTableSnapshot(char* block, std::uint32_t generation, std::int64_t nextId,
                        const std::vector<SnapshotEntry>& entries,
                        std::vector<SnapshotCreator> proxies, std::vector<SnapshotCreator> invokers,
                        std::vector<SnapshotDeclared> declared) {
    sortByKey(proxies);
    sortByKey(invokers);
    std::sort(declared.begin(), declared.end(),
              [](const SnapshotDeclared& a, const SnapshotDeclared& b) { return a.ifc < b.ifc; });
    TableSnapshotView::Header header{};
    header.magic = kSnapshotMagic;
    header.version = kSnapshotVersion;
    header.generation = generation;
    header.entryCount = static_cast<std::uint32_t>(entries.size());
    header.proxyCount = static_cast<std::uint32_t>(proxies.size());
    header.invokerCount = static_cast<std::uint32_t>(invokers.size());
    header.declaredCount = static_cast<std::uint32_t>(declared.size());
    header.nextId = nextId;
    header.textsOffset = sizeof(header) + entries.size() * sizeof(TableSnapshotView::Entry) +
                         (proxies.size() + invokers.size()) * sizeof(TableSnapshotView::Creator) +
                         declared.size() * sizeof(TableSnapshotView::Declared);
    BlockWriter writer(block, header.textsOffset);
    for (const SnapshotEntry& entry : entries) {
        const auto ifc = writer.text(entry.ifc);
        const auto channel = writer.text(entry.channel);
        writer.row(TableSnapshotView::Entry{ifc.first, ifc.second, channel.first, channel.second,
                                            entry.svcId});
    }
    writer.creators(proxies);
    writer.creators(invokers);
    for (const SnapshotDeclared& row : declared) {
        const auto ifc = writer.text(row.ifc);
        writer.row(TableSnapshotView::Declared{ifc.first, ifc.second,
                                               static_cast<std::uint32_t>(row.state)});
    }
    header.textsSize = writer.textBytes();
    std::memcpy(block, &header, sizeof(header));
}

std::string encodeTableSnapshot(std::uint32_t generation, std::int64_t nextId,
                                const std::vector<SnapshotEntry>& entries,
                                std::vector<SnapshotCreator> proxies,
                                std::vector<SnapshotCreator> invokers,
                                std::vector<SnapshotDeclared> declared) {
    std::string block(tableSnapshotSize(entries, proxies, invokers, declared), '\0');
    writeTableSnapshot(block.data(), generation, nextId, entries, std::move(proxies),
                       std::move(invokers), std::move(declared));
    return block;
}

// The header is read once, into the view: what it says cannot change under the view.
bool TableSnapshotView::open(const char* bytes, std::size_t size, std::string& why) {
    static_assert(sizeof(Header) % alignof(Entry) == 0 && sizeof(Entry) % alignof(Creator) == 0 &&
                      sizeof(Creator) % alignof(Declared) == 0,
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
        (std::uint64_t{head.proxyCount} + head.invokerCount) * sizeof(Creator) +
        std::uint64_t{head.declaredCount} * sizeof(Declared);
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
    declared = reinterpret_cast<const Declared*>(invokersEnd);
    declaredEnd = declared + head.declaredCount;
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

std::optional<DeclaredState> TableSnapshotView::declaredStateOf(std::string_view ifc) const {
    const Declared* found = std::lower_bound(
        declared, declaredEnd, ifc,
        [&](const Declared& d, std::string_view key) { return text(d.ifc, d.ifcLength) < key; });
    if (found == declaredEnd || text(found->ifc, found->ifcLength) != ifc) return std::nullopt;
    return found->state <= static_cast<std::uint32_t>(DeclaredState::Failed)
               ? static_cast<DeclaredState>(found->state)
               : DeclaredState::Idle;
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
