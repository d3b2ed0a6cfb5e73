// The table's snapshot as a client reads it, whatever bytes it holds (a reader may look at a
// block the daemon is writing over): a block is either taken as it comes, or encoded from a
// table the input describes and then has one byte changed. Opening must refuse a header whose
// rows do not fit, and every lookup in a block it accepts, rows out of order and texts out of
// bounds included, must stay inside the block (the sanitizer sees any read outside). An encoded
// block left as it is must open with every entry, and give each declared interface its state; that
// it answers as the table it was made from is the pipeline differential's, which reads each lookup
// from the table the daemon shares.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "TableSnapshot.h"

using namespace svcreg;

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data(data), size(size) {}
    bool empty() const { return at == size; }
    unsigned next() { return at < size ? data[at++] : 0; }
    // A short name from the next bytes: few letters, so that names meet.
    std::string name() {
        std::string text;
        for (unsigned length = next() % 4; length > 0; --length) text += "ab,"[next() % 3];
        return text;
    }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

// Every lookup there is, for every name the block holds and a few it may not.
void lookUpEverything(const TableSnapshotView& view) {
    std::size_t seen = view.declaredCount();
    for (std::size_t i = 0; i < view.entryCount(); ++i) {
        const TableSnapshotView::Entry& entry = view.entryAt(i);
        const std::string_view ifc = view.ifcOf(entry);
        const auto [first, last] = view.entriesOf(ifc);
        for (auto row = first; row != last; ++row) seen += view.channelOf(*row).size();
        if (const TableSnapshotView::Creator* proxy = view.findProxy(ifc)) {
            seen += view.text(proxy->lib, proxy->libLength).size();
        }
        if (const TableSnapshotView::Creator* invoker = view.findInvoker(ifc, ifc)) {
            seen += view.text(invoker->creatorFn, invoker->creatorFnLength).size();
        }
        seen += view.declaredStateOf(ifc).has_value();
    }
    for (const char* probe : {"", "a", "b,a", "\xff"}) {
        seen += view.declaredStateOf(probe).has_value();
        view.entriesOf(probe);
        view.findProxy(probe);
        view.findInvoker(probe, probe);
    }
    if (seen == SIZE_MAX) std::abort();  // keeps the reads
}

// Opens block, copied to memory aligned as the daemon's blocks are (they start at a page), looks
// up everything in it and lets check see it; a refusal must say why. True when it opened.
template <typename Check>
bool openAndLookUp(const std::string& block, Check check) {
    std::vector<std::uint64_t> aligned((block.size() + 7) / 8);
    if (!block.empty()) std::memcpy(aligned.data(), block.data(), block.size());
    TableSnapshotView view;
    std::string why;
    if (!view.open(reinterpret_cast<const char*>(aligned.data()), block.size(), why)) {
        if (why.empty()) std::abort();
        return false;
    }
    lookUpEverything(view);
    check(view);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    const auto anything = [](const TableSnapshotView&) {};
    if (input.next() % 2 == 0) {
        openAndLookUp(std::string(reinterpret_cast<const char*>(data), size), anything);
        return 0;
    }
    std::vector<ServiceRecord> entries;
    std::vector<SnapshotCreator> proxies, invokers;
    std::set<std::string> declaredNames;
    for (unsigned count = input.next() % 8; count > 0; --count) {
        entries.push_back({input.name(), static_cast<ServiceId>(input.next()), input.name()});
        proxies.push_back({input.name(), input.name(), input.name()});
        invokers.push_back({input.name() + "," + input.name(), input.name(), input.name()});
        declaredNames.insert(input.name());
    }
    std::vector<SnapshotDeclared> declared;
    for (const std::string& name : declaredNames)
        declared.push_back({name, static_cast<DeclaredState>(input.next() % 4)});
    std::stable_sort(entries.begin(), entries.end(),
                     [](const ServiceRecord& a, const ServiceRecord& b) { return a.ifc < b.ifc; });
    std::vector<SnapshotEntry> views;
    for (const ServiceRecord& entry : entries)
        views.push_back({entry.ifc, entry.channel, entry.svcId});
    std::string block =
        encodeTableSnapshot(input.next(), input.next(), views, proxies, invokers, declared);
    const auto holdsTheTable = [&](const TableSnapshotView& view) {
        if (view.entryCount() != entries.size()) std::abort();
        for (const SnapshotDeclared& row : declared)
            if (view.declaredStateOf(row.ifc) != row.state) std::abort();
    };
    if (!openAndLookUp(block, holdsTheTable)) std::abort();
    if (!input.empty()) {
        const std::size_t at = (input.next() * 256 + input.next()) % block.size();
        block[at] = static_cast<char>(block[at] ^ (input.next() | 1));
        openAndLookUp(block, anything);
    }
    return 0;
}
