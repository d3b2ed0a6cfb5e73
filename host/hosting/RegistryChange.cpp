#include "RegistryChange.h"

#include <cassert>

#include "RegistryTextProtocol.h"

namespace svcreg {

namespace {

using Kind = RegistryChange::Kind;

// Each kind of change: the text command that asks for it (none: it comes by call only), what
// the policy must permit, how a refusal names it, and how the journal keeps it (none: it lasts
// only as long as its process).
struct KindRow {
    Kind kind;
    const char* textCommand;
    Permission permission;
    const char* verb;
    std::optional<JournalRecord::Kind> record;
};
const KindRow kKinds[] = {
    {Kind::Register, RegistryText::kRegister, Permission::Register, "register",
     JournalRecord::Kind::Register},
    {Kind::Deregister, RegistryText::kDeregister, Permission::Deregister, "deregister",
     JournalRecord::Kind::Deregister},
    {Kind::RegisterProxy, RegistryText::kRegisterProxy, Permission::RegisterCreator,
     "register creators of", JournalRecord::Kind::Proxy},
    {Kind::RegisterInvoker, RegistryText::kRegisterInvoker, Permission::RegisterCreator,
     "register creators of", JournalRecord::Kind::Invoker},
    {Kind::Subscribe, nullptr, Permission::Subscribe, "subscribe to", std::nullopt},
};

const KindRow& rowOf(Kind kind) {
    for (const KindRow& row : kKinds) {
        if (row.kind == kind) return row;
    }
    assert(false && "a kind of change without its row");
    return kKinds[0];
}

bool isCreator(Kind kind) {
    return kind == Kind::RegisterProxy || kind == Kind::RegisterInvoker;
}

std::string shown(std::string_view request) {
    return std::string(request.substr(0, kRequestShownLength));
}

// "method(names)", as much of it as a log line shows.
std::string shownCall(const char* method, const std::string& names) {
    return shown(std::string(method) + "(" + names.substr(0, kRequestShownLength) + ")");
}

}  // namespace

// Lookups, nearly every message, are told apart by their command word alone.
std::optional<RegistryChange> RegistryChange::fromText(std::string_view text) {
    const std::string_view command = text.substr(0, text.find(':'));
    for (const KindRow& candidate : kKinds) {
        if (candidate.textCommand == nullptr || command != candidate.textCommand) continue;
        std::vector<std::string> f;
        if (!RegistryText::splitRequest(text, f)) return std::nullopt;
        RegistryChange change =
            isCreator(candidate.kind)
                ? creator(candidate.kind, f[1], f[2], f[3], f[4], nullptr)
                : entries(candidate.kind, std::move(f[1]), std::move(f[2]), nullptr);
        change.request = shown(text);
        return change;
    }
    return std::nullopt;
}

RegistryChange RegistryChange::entries(Kind kind, std::string names, std::string channel,
                                       const char* method) {
    RegistryChange change{kind, std::move(names), std::move(channel), {}, {}, {}, {}};
    if (method != nullptr) change.request = shownCall(method, change.names);
    return change;
}

RegistryChange RegistryChange::creator(Kind kind, const std::string& lib,
                                       const std::string& creatorFn, const std::string& ifc,
                                       const std::string& protocol, const char* method) {
    RegistryChange change{kind, ifc, {}, lib, creatorFn, protocol, {}};
    if (method != nullptr) change.request = shownCall(method, ifc);
    return change;
}

RegistryChange RegistryChange::subscription(const std::string& channel, const char* method) {
    return RegistryChange{Kind::Subscribe, {}, channel, {}, {}, {}, method};
}

const std::vector<std::string>& RegistryChange::interfaces() const {
    if (split) return *split;
    if (kind == Kind::Subscribe) {
        split.emplace();
    } else if (isCreator(kind)) {
        split.emplace(1, names);
    } else {
        split = RegistryText::splitAt(names, ' ');
    }
    return *split;
}

std::vector<const std::string*> RegistryChange::otherNames() const {
    return {&channel, &lib, &creatorFn, &protocol};
}

std::size_t RegistryChange::bytes() const {
    std::size_t total = names.size();
    for (const std::string* name : otherNames()) total += name->size();
    return total;
}

Permission RegistryChange::permission() const {
    return rowOf(kind).permission;
}

const char* RegistryChange::verb() const {
    return rowOf(kind).verb;
}

std::optional<JournalRecord> RegistryChange::record(uid_t owner) const {
    const std::optional<JournalRecord::Kind> recorded = rowOf(kind).record;
    if (!recorded) return std::nullopt;
    if (isCreator(kind))
        return JournalRecord{*recorded, owner, 0, {lib, creatorFn, names, protocol}};
    // Copied once, not through a list and again into the record.
    JournalRecord entriesRecord{*recorded, owner, 0, {}};
    entriesRecord.fields.reserve(2);
    entriesRecord.fields.push_back(names);
    entriesRecord.fields.push_back(channel);
    return entriesRecord;
}

}  // namespace svcreg
