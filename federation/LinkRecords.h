#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ServiceRegistry/DeviceCalls.h"

// What two devices' daemons say over the link between them: records, each a 5-byte header (its
// kind, then the body's length as 32-bit little endian) and a body.
//   Hello    body: the name of the device that connected; its first record.
//   Welcome  body: the name of the device that accepted; its answer to Hello: from then on
//            both ends may send messages (never before: a link the acceptor drops, for one of
//            its own to that device, has carried none).
//   Declined no body: the acceptor's answer to Hello when it keeps a link of its own to that
//            device instead (both connected at once), or has not heard the device announced
//            yet; the connecting end closes this one, and dials again a while later.
//   Ping     no body: sent when nothing else was for half a lease.
//   Message  body: a DeviceMessage: its kind, whether from the opener (0 or 1), the tunnel as
//            64-bit little endian, the user and the channel, each as a byte of length and that
//            many bytes, then the frame, to the body's end. Only an Open names a user and a
//            channel, only a Frame holds a frame.

// A transport frame: its 8-byte header and a body of at most 8 MiB.
constexpr std::size_t kMostFrameBytes = (8u << 20) + 8;
constexpr std::size_t kMostNameBytes = 255;  // a user or a channel in an Open
constexpr std::size_t kRecordHeaderSize = 5;
constexpr std::size_t kMostRecordBody = 2 + 8 + 2 + 2 * kMostNameBytes + kMostFrameBytes;

struct LinkRecord {
    enum class Kind : std::uint8_t { Hello = 1, Welcome = 2, Declined = 3, Ping = 4, Message = 5 };

    Kind kind = Kind::Ping;
    std::string device;             // Hello, Welcome
    svcreg::DeviceMessage message;  // Message
};

// Appends record's encoding to out; false, with out untouched, when it cannot be encoded (a
// name or a frame past its bound, a field its kind does not carry, a device name that is not one).
bool appendRecord(const LinkRecord& record, std::string& out);

// Cuts records out of the bytes of one link, as they arrive in pieces of any size. Memory is
// taken as bytes arrive, never from what a header announces.
class LinkRecordReader {
public:
    enum class Status {
        NeedMore,   // no whole record buffered yet
        Ready,      // a record was taken out
        Malformed,  // the stream is broken: no further record can be trusted
        TooLarge,   // the next record announces a body past kMostRecordBody
    };

    void append(const char* data, std::size_t length);
    // Takes out the next whole record. After Malformed or TooLarge, the reader stays broken.
    Status next(LinkRecord& record);
    std::size_t bufferedBytes() const { return buffer.size() - consumed; }

private:
    void releaseConsumed();

    Status failure = Status::NeedMore;  // sticky once the stream has failed
    std::string buffer;
    std::size_t consumed = 0;  // bytes at the front of buffer already taken out
};
