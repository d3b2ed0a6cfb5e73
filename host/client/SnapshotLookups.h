#pragma once

#include <string>
#include <vector>

#include "ServiceRegistry/RegistryClient.h"
#include "TableSnapshot.h"

// The client's lookups answered from the registry's shared snapshot, as the registry answers
// them: the first entry or creator of a key is the one registered first. Each fills its last
// argument, and is false when the registry has none.
namespace svcreg::SnapshotLookups {

bool findChannel(const TableSnapshotView& table, const std::string& ifc, std::string& channel);
bool findServiceId(const TableSnapshotView& table, const std::string& ifc, ServiceId& svcId);
bool channelList(const TableSnapshotView& table, const std::string& ifc,
                 std::vector<std::string>& channels);
bool detailsList(const TableSnapshotView& table, std::vector<ServiceRecord>& records);
bool findInvoker(const TableSnapshotView& table, const std::string& ifc,
                 const std::string& protocol, CreatorRecord& creator);
bool findProxy(const TableSnapshotView& table, const std::string& ifc, CreatorRecord& creator);
// Whether ifc has an entry.
bool isRegistered(const TableSnapshotView& table, const std::string& ifc);

}  // namespace svcreg::SnapshotLookups
