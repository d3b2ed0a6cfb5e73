#include "LinkConnection.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "LinkSecurity.h"

LinkConnection::LinkConnection(int socket, SSL* session, bool connecting)
    : fd(socket), session(session), connecting(connecting), handshaken(session == nullptr) {}

LinkConnection::~LinkConnection() {
    // Says it closes (close_notify) where the socket takes it now, so that the peer tells a
    // close from a cut; not after a fatal error, when TLS forbids it.
    if (session != nullptr && handshaken && !failed) SSL_shutdown(session);
    ERR_clear_error();
    SSL_free(session);
    close(fd);
}

LinkConnection::Io LinkConnection::closed(const std::string& why) {
    if (failure.empty()) failure = why;
    return Io::Closed;
}

LinkConnection::Io LinkConnection::tlsOutcome(int result, bool& wantsWrite) {
    wantsWrite = false;
    switch (SSL_get_error(session, result)) {
        case SSL_ERROR_WANT_READ:
            return Io::Wait;
        case SSL_ERROR_WANT_WRITE:
            wantsWrite = true;
            return Io::Wait;
        case SSL_ERROR_ZERO_RETURN:
            return closed("closed by the peer");
        case SSL_ERROR_SYSCALL:
            failed = true;
            ERR_clear_error();
            return closed(errno == 0 ? "closed by the peer" : std::strerror(errno));
        default:
            failed = true;
            return closed(takeTlsErrors());
    }
}

LinkConnection::Io LinkConnection::establish() {
    if (connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == EINPROGRESS) return Io::Wait;
        if (error != 0) return closed(std::strerror(error));
        // Connected when the socket is writable and reports no error.
        struct sockaddr_storage peer;
        socklen_t peerLength = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
            return errno == ENOTCONN ? Io::Wait : closed(std::strerror(errno));
        }
        connecting = false;
    }
    if (handshaken) return Io::Done;
    ERR_clear_error();
    const int result = SSL_do_handshake(session);
    if (result == 1) {
        handshaken = true;
        handshakeWrites = false;
        return Io::Done;
    }
    return tlsOutcome(result, handshakeWrites);
}

LinkConnection::Io LinkConnection::read(std::string& into, std::size_t most) {
    char buffer[64 * 1024];
    const std::size_t wanted = most < sizeof buffer ? most : sizeof buffer;
    if (session == nullptr) {
        const ssize_t got = recv(fd, buffer, wanted, 0);
        if (got > 0) return into.append(buffer, static_cast<std::size_t>(got)), Io::Done;
        if (got == 0) return closed("closed by the peer");
        return errno == EAGAIN || errno == EINTR ? Io::Wait : closed(std::strerror(errno));
    }
    ERR_clear_error();
    std::size_t got = 0;
    const int result = SSL_read_ex(session, buffer, wanted, &got);
    if (result == 1) {
        readWrites = false;
        return into.append(buffer, got), Io::Done;
    }
    return tlsOutcome(result, readWrites);
}

LinkConnection::Io LinkConnection::write(const char* data, std::size_t size, std::size_t& written) {
    written = 0;
    if (session == nullptr) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent >= 0) {
            written = static_cast<std::size_t>(sent);
            writeWrites = written < size;
            return Io::Done;
        }
        writeWrites = errno == EAGAIN;
        return errno == EAGAIN || errno == EINTR ? Io::Wait : closed(std::strerror(errno));
    }
    ERR_clear_error();
    const int result = SSL_write_ex(session, data, size, &written);
    if (result == 1) {
        writeWrites = false;
        return Io::Done;
    }
    return tlsOutcome(result, writeWrites);
}

bool LinkConnection::holdsReadBytes() const {
    return session != nullptr && SSL_pending(session) > 0;
}
