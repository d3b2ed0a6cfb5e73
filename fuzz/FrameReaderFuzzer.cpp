// Feeds an arbitrary byte stream to the host runtime's FrameReader in pieces whose size the
// first input byte chooses. The frames taken out must re-encode to exactly the front of the
// stream and be of a known kind, the outcome must not depend on how the stream was cut, and a
// broken stream must stay broken whatever arrives after.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FrameCodec.h"

using namespace svcreg;

namespace {

struct Outcome {
    std::string reencoded;  // every frame taken out, encoded again, in order
    FrameReader::Status last = FrameReader::Status::NeedMore;
};

// Takes out every whole frame the reader holds; returns the status that stopped it.
FrameReader::Status drain(FrameReader& reader, std::string& reencoded) {
    Frame frame;
    FrameReader::Status status;
    while ((status = reader.next(frame)) == FrameReader::Status::Ready) {
        if (frame.kind < Frame::Kind::Message || frame.kind > Frame::Kind::Descriptors)
            std::abort();
        if (!appendEncodedFrame(frame, reencoded)) std::abort();
    }
    return status;
}

Outcome readInPieces(const std::string& stream, std::size_t pieceSize) {
    FrameReader reader;
    Outcome outcome;
    for (std::size_t at = 0; at < stream.size(); at += pieceSize) {
        const std::size_t length = std::min(pieceSize, stream.size() - at);
        reader.append(stream.data() + at, length);
        outcome.last = drain(reader, outcome.reencoded);
    }
    if (outcome.last == FrameReader::Status::NeedMore &&
        reader.bufferedBytes() != stream.size() - outcome.reencoded.size()) {
        std::abort();
    }
    if (outcome.last != FrameReader::Status::NeedMore) {
        reader.append(stream.data(), stream.size());
        Frame frame;
        if (reader.next(frame) != outcome.last) std::abort();  // failure is sticky
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
