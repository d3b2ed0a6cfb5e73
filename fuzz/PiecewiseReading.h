#pragma once

// The check a fuzzer of a stream reader makes (FrameReader, LinkRecordReader): an arbitrary byte
// stream read in pieces whose size the first input byte chooses. What the reader takes out must
// re-encode to exactly the front of the stream, the outcome must not depend on how the stream
// was cut, and a broken stream must stay broken whatever arrives after. reencode(item, out)
// appends an item's encoding to out, false when it cannot (or the item is not one the reader
// may give).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

template <typename Reader, typename Item, typename Reencode>
class PiecewiseReading {
public:
    explicit PiecewiseReading(Reencode reencode) : reencode(reencode) {}

    void check(const uint8_t* data, size_t size) const {
        if (size == 0) return;
        const std::size_t pieceSize = data[0] % 64 + 1;
        const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
        const Outcome pieces = readInPieces(stream, pieceSize);
        const Outcome whole = readInPieces(stream, std::max<std::size_t>(stream.size(), 1));
        if (stream.compare(0, pieces.reencoded.size(), pieces.reencoded) != 0) std::abort();
        if (pieces.reencoded != whole.reencoded || pieces.last != whole.last) std::abort();
    }

private:
    using Status = typename Reader::Status;
    struct Outcome {
        std::string reencoded;  // every item taken out, encoded again, in order
        Status last = Status::NeedMore;
    };

    // Takes out every whole item the reader holds; returns the status that stopped it.
    Status drain(Reader& reader, std::string& reencoded) const {
        Item item;
        Status status;
        while ((status = reader.next(item)) == Status::Ready) {
            if (!reencode(item, reencoded)) std::abort();
        }
        return status;
    }

    Outcome readInPieces(const std::string& stream, std::size_t pieceSize) const {
        Reader reader;
        Outcome outcome;
        for (std::size_t at = 0; at < stream.size(); at += pieceSize) {
            reader.append(stream.data() + at, std::min(pieceSize, stream.size() - at));
            outcome.last = drain(reader, outcome.reencoded);
        }
        if (outcome.last == Status::NeedMore &&
            reader.bufferedBytes() != stream.size() - outcome.reencoded.size()) {
            std::abort();
        }
        if (outcome.last != Status::NeedMore) {
            reader.append(stream.data(), stream.size());
            Item item;
            if (reader.next(item) != outcome.last) std::abort();  // failure is sticky
        }
        return outcome;
    }

    Reencode reencode;
};
