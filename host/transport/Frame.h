#pragma once

#include <cstdint>
#include <string>

namespace svcreg {

// One message between two processes: the fields of a CommsChannelDataContainerMessage and the
// kind, which tells the receiving process what to do with it.
struct Frame {
    enum class Kind : std::uint8_t {
        Message = 1,     // for the service bound to the destination channel (handleMsg)
        Call = 2,        // a method call for the destination's invoker of `interface`; answered
        OneWayCall = 3,  // the same, never answered
        Reply = 4,       // the answer to the Call with the same request id
        // A request for the memory the destination shares with its peers: answered by a Reply
        // that says whether it shares any and, the first on a connection, carries its
        // descriptors (SCM_RIGHTS); see SharedMemoryLine.
        Descriptors = 5,
        // The first frame of a connection the registry daemon makes on behalf of a caller on
        // another device: data "DEVICE\nUSER" names who the connection's peer is from then on
        // (see Transport::takeVouch).
        Vouch = 6,
    };

    Kind kind = Kind::Message;
    std::int64_t requestId = 0;
    std::string destination;
    std::string source;
    std::string remoteContext;
    std::string protocol;
    std::string interface;
    std::string data;
};

}  // namespace svcreg
