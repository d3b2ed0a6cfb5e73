// Feeds an arbitrary byte stream to the reader of the records on a link between devices, in
// pieces whose size the first input byte chooses. The records taken out must re-encode to
// exactly the front of the stream, the outcome must not depend on how the stream was cut, and a
// broken stream must stay broken whatever arrives after.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "LinkRecords.h"

namespace {

struct Outcome {
    std::string reencoded;  // every record taken out, encoded again, in order
    LinkRecordReader::Status last = LinkRecordReader::Status::NeedMore;
};

LinkRecordReader::Status drain(LinkRecordReader& reader, std::string& reencoded) {
    LinkRecord record;
    LinkRecordReader::Status status;
    while ((status = reader.next(record)) == LinkRecordReader::Status::Ready) {
        if (!appendRecord(record, reencoded)) std::abort();
    }
    return status;
}

Outcome readInPieces(const std::string& stream, std::size_t pieceSize) {
    LinkRecordReader reader;
    Outcome outcome;
    for (std::size_t at = 0; at < stream.size(); at += pieceSize) {
        reader.append(stream.data() + at, std::min(pieceSize, stream.size() - at));
        outcome.last = drain(reader, outcome.reencoded);
    }
    if (outcome.last == LinkRecordReader::Status::NeedMore &&
        reader.bufferedBytes() != stream.size() - outcome.reencoded.size()) {
        std::abort();
    }
    if (outcome.last != LinkRecordReader::Status::NeedMore) {
        reader.append(stream.data(), stream.size());
        LinkRecord record;
        if (reader.next(record) != outcome.last) std::abort();  // failure is sticky
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::size_t pieceSize = data[0] % 64 + 1;
    const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    const Outcome pieces = readInPieces(stream, pieceSize);
    const Outcome whole = readInPieces(stream, std::max<std::size_t>(stream.size(), 1));
    if (stream.compare(0, pieces.reencoded.size(), pieces.reencoded) != 0) std::abort();
    if (pieces.reencoded != whole.reencoded || pieces.last != whole.last) std::abort();
    return 0;
}
