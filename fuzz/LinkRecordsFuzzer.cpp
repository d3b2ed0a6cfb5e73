// Feeds an arbitrary byte stream to the reader of the records on a link between devices, in
// pieces (see PiecewiseReading.h).

#include "LinkRecords.h"
#include "PiecewiseReading.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto reencode = [](const LinkRecord& record, std::string& out) {
        return appendRecord(record, out);
    };
    PiecewiseReading<LinkRecordReader, LinkRecord, decltype(reencode)>(reencode).check(data, size);
    return 0;
}
