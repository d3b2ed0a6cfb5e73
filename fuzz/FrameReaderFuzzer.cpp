// Feeds an arbitrary byte stream to the host runtime's FrameReader in pieces (see
// PiecewiseReading.h); the frames taken out must also be of a known kind.

#include "FrameCodec.h"
#include "PiecewiseReading.h"

using namespace svcreg;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto reencode = [](const Frame& frame, std::string& out) {
        return frame.kind >= Frame::Kind::Message && frame.kind <= Frame::Kind::Vouch &&
               appendEncodedFrame(frame, out);
    };
    PiecewiseReading<FrameReader, Frame, decltype(reencode)>(reencode).check(data, size);
    return 0;
}
