#pragma once

#include <string>
#include <vector>

// The DDS partitions that bind a device's samples to its name: a device writes in its own
// partition only (which, with DDS Security, its permissions alone grant it) and reads all.

// "svcreg.<device>": where device writes.
std::string devicePartition(const std::string& device);

// The device a writer in partitions writes for: the name in its one partition, or empty when
// it writes in none, in several, or in one that names no device.
std::string deviceOfPartitions(const std::vector<std::string>& partitions);

// Whether this device takes a sample that claims to come from claimedDevice, sent by a writer
// in writerPartitions: only when the partition names that device, and it is not this one.
bool writerSpeaksFor(const std::string& thisDevice, const std::string& claimedDevice,
                     const std::vector<std::string>& writerPartitions);
