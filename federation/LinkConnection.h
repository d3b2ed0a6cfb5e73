#pragma once

#include <cstddef>
#include <string>

typedef struct ssl_st SSL;

// One TCP connection of a link between devices, non-blocking, over TLS when given a session
// (plain otherwise): its connect, its handshake, its reads and writes, and which of them wait
// for the socket to be writable.
class LinkConnection {
public:
    // What an operation came to.
    enum class Io {
        Done,    // it did what it could: all it was asked, or some of it
        Wait,    // nothing more until the socket is ready: see wantsWritable
        Closed,  // the peer closed the connection, or it failed: see error
    };

    // Takes socket (connecting when connecting is true) and session, which may be null.
    LinkConnection(int socket, SSL* session, bool connecting);
    ~LinkConnection();
    LinkConnection(const LinkConnection&) = delete;
    LinkConnection& operator=(const LinkConnection&) = delete;

    int socket() const { return fd; }
    SSL* tls() const { return session; }
    // Finishes the TCP connect and the TLS handshake: Done once both are.
    Io establish();
    // Reads what has come, up to most bytes, appended to into.
    Io read(std::string& into, std::size_t most);
    // Writes from data, setting written.
    Io write(const char* data, std::size_t size, std::size_t& written);
    // Whether what waits needs the socket writable (poll for POLLOUT).
    bool wantsWritable() const {
        return connecting || handshakeWrites || readWrites || writeWrites;
    }
    // Whether TLS holds bytes already read from the socket, which poll does not see.
    bool holdsReadBytes() const;
    const std::string& error() const { return failure; }

private:
    Io tlsOutcome(int result, bool& wantsWrite);
    Io closed(const std::string& why);

    int fd;
    SSL* session;
    bool connecting;
    bool handshaken;
    bool handshakeWrites = false;
    bool readWrites = false;
    bool writeWrites = false;
    bool failed = false;  // TLS failed fatally: no close_notify then
    std::string failure;
};
