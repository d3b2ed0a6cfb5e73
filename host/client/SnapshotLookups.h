#pragma once

#include <string>
#include <vector>

#include "ServiceRegistry/RegistryClient.h"
#include "TableSnapshot.h"

// The client's lookups answered from the registry's shared snapshot, as the registry answers
// them: the first entry or creator of a key is the one registered first. Each takes the
// lookup's text arguments and fills value; false when the registry has none.
namespace svcreg::SnapshotLookups {

bool findChannel(const TableSnapshotView& table, const std::vector<std::string>& arguments,
                 std::string& channel);
bool findServiceId(const TableSnapshotView& table, const std::vector<std::string>& arguments,
                   ServiceId& svcId);
bool channelList(const TableSnapshotView& table, const std::vector<std::string>& arguments,
                 std::vector<std::string>& channels);
bool detailsList(const TableSnapshotView& table, const std::vector<std::string>& arguments,
                 std::vector<ServiceRecord>& records);
bool findInvoker(const TableSnapshotView& table, const std::vector<std::string>& arguments,
                 CreatorRecord& creator);
bool findProxy(const TableSnapshotView& table, const std::vector<std::string>& arguments,
               CreatorRecord& creator);
// Whether ifc has an entry.
bool isRegistered(const TableSnapshotView& table, const std::string& ifc);

}  // namespace svcreg::SnapshotLookups
