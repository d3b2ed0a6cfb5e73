#include "DevicePartition.h"

#include "ServiceRegistry/RemoteDevices.h"

namespace {
const std::string kPrefix = "svcreg.";
}

std::string devicePartition(const std::string& device) {
    return kPrefix + device;
}

std::string deviceOfPartitions(const std::vector<std::string>& partitions) {
    if (partitions.size() != 1 || partitions[0].compare(0, kPrefix.size(), kPrefix) != 0) {
        return std::string();
    }
    std::string device = partitions[0].substr(kPrefix.size());
    return svcreg::isDeviceName(device) ? device : std::string();
}

bool writerSpeaksFor(const std::string& thisDevice, const std::string& claimedDevice,
                     const std::vector<std::string>& writerPartitions) {
    return claimedDevice != thisDevice && !claimedDevice.empty() &&
           deviceOfPartitions(writerPartitions) == claimedDevice;
}
