#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Frame.h"
#include "ServiceRegistry/RemoteDevices.h"

namespace svcreg {

// Frames on a byte stream. A frame is an 8-byte header (the bytes 'S' 'R', the format version,
// the kind, then the body length as 32-bit little endian) and a body: the request id as 64-bit
// little endian, then destination, source, remote context, protocol, interface and data, each
// as a 32-bit little-endian length and that many bytes. Nothing may follow the last field.

constexpr std::size_t kFrameHeaderSize = 8;
// What a process may send in a frame's body. Large enough for the details list of a table of
// some 100,000 entries.
constexpr std::size_t kMaxFrameBodySize = 8u << 20;
// What the gateway adds to a frame it carries from another device: "@DEVICE" on its source and
// on its remote context.
constexpr std::size_t kDeviceNamingRoom = 2 * (1 + kMaxDeviceNameSize);
// What a reader takes: a frame a process sent, at the bound, still reaches its channel on
// another device.
constexpr std::size_t kMaxReadBodySize = kMaxFrameBodySize + kDeviceNamingRoom;

// Appends the encoded frame to out; false, with out untouched, when the body would exceed
// mostBody.
bool appendEncodedFrame(const Frame& frame, std::string& out,
                        std::size_t mostBody = kMaxFrameBodySize);

// Cuts frames out of the bytes of one stream, as they arrive in pieces of any size.
class FrameReader {
public:
    enum class Status {
        NeedMore,   // no whole frame buffered yet
        Ready,      // a frame was taken out
        Malformed,  // the stream is broken: no further frame can be trusted
        TooLarge,   // the next frame announces a body over kMaxReadBodySize
    };

    void append(const char* data, std::size_t length);
    // Takes out the next whole frame. After Malformed or TooLarge, the reader stays broken.
    Status next(Frame& frame);
    std::size_t bufferedBytes() const { return buffer.size() - consumed; }
    std::uint64_t framesTaken() const { return taken; }

private:
    // Gives the memory of a large frame back once it has been taken out.
    void releaseConsumed();

    Status failure = Status::NeedMore;  // sticky once the stream has failed
    std::string buffer;
    std::size_t consumed = 0;  // bytes at the front of buffer already taken out
    std::uint64_t taken = 0;
};

}  // namespace svcreg
