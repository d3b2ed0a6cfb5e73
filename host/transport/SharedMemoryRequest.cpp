#include "SharedMemoryRequest.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "FrameCodec.h"

namespace svcreg {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until socket is ready for events, or deadline; false at the deadline or on an error.
bool readyBy(int socket, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd ready{socket, events, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left));
        if (polled > 0) return (ready.revents & events) != 0 || (ready.revents & POLLHUP) != 0;
        if (polled < 0 && errno != EINTR) return false;
    }
}

bool sendAll(int socket, const std::string& bytes, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = sendWithDescriptors(socket, std::string_view(bytes).substr(sent), {});
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (!(n < 0 && (errno == EAGAIN || errno == EINTR)) ||
                   !readyBy(socket, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

// The answer to the request with id, and the descriptors that came with it. Unreachable when
// the connection closed before it: the peer may have ended, or not know the request.
ShareOutcome receiveAnswer(int socket, std::int64_t id, Clock::time_point deadline,
                           std::vector<UniqueFd>& descriptors) {
    FrameReader reader;
    char chunk[4096];
    for (;;) {
        const ssize_t n = receiveWithDescriptors(socket, chunk, sizeof(chunk), descriptors);
        if (n == 0) return ShareOutcome::Unreachable;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN || !readyBy(socket, POLLIN, deadline)) {
                return ShareOutcome::Unreachable;
            }
            continue;
        }
        reader.append(chunk, static_cast<std::size_t>(n));
        Frame answer;
        const FrameReader::Status status = reader.next(answer);
        if (status == FrameReader::Status::NeedMore) continue;
        if (status != FrameReader::Status::Ready || answer.kind != Frame::Kind::Reply ||
            answer.requestId != id || answer.data != kMemoryShared) {
            return ShareOutcome::NothingShared;
        }
        return ShareOutcome::Shared;
    }
}

}  // namespace

SharedMemoryLine::SharedMemoryLine(std::string path, std::string channel, Trust trusted,
                                   std::chrono::milliseconds timeout)
    : path(std::move(path)),
      channel(std::move(channel)),
      trusted(std::move(trusted)),
      timeout(timeout) {}

// A line kept from before that fails is made again once: the peer closes a line when it stops.
ShareOutcome SharedMemoryLine::ask(std::vector<UniqueFd>& descriptors, Deadline deadline) {
    const Deadline by = std::min(deadline, Clock::now() + timeout);
    const bool kept = socket.valid();
    ShareOutcome outcome = askOnce(descriptors, by);
    if (outcome == ShareOutcome::Unreachable && kept) outcome = askOnce(descriptors, by);
    if (outcome != ShareOutcome::Shared) socket = UniqueFd();
    return outcome;
}

ShareOutcome SharedMemoryLine::askOnce(std::vector<UniqueFd>& descriptors, Deadline deadline) {
    descriptors.clear();
    if (!socket.valid()) {
        UniqueFd made;
        if (connectTo(path, made) != ConnectResult::Connected) return ShareOutcome::Unreachable;
        if (!trusted(peerCredentialsOf(made.get()))) return ShareOutcome::Untrusted;
        socket = std::move(made);
    }
    Frame request;
    request.kind = Frame::Kind::Descriptors;
    request.requestId = ++lastRequestId;
    request.destination = channel;
    std::string bytes;
    appendEncodedFrame(request, bytes);
    if (!sendAll(socket.get(), bytes, deadline)) {
        socket = UniqueFd();
        return ShareOutcome::Unreachable;
    }
    const ShareOutcome outcome =
        receiveAnswer(socket.get(), request.requestId, deadline, descriptors);
    if (outcome != ShareOutcome::Shared) {
        descriptors.clear();
        socket = UniqueFd();
    }
    return outcome;
}

}  // namespace svcreg
