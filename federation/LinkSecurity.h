#pragma once

#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// The TLS side of the links between devices, from the federation's security folder: this
// device's certificate (device.pem, device.key) identifies it, and a peer is trusted when its
// certificate is signed by the identity CA (identity_ca.pem). Both ends must present one. A
// certificate names its device in its subject's common name (CN=<device>,O=svcreg).
class LinkSecurity {
public:
    LinkSecurity() = default;
    ~LinkSecurity();
    LinkSecurity(const LinkSecurity&) = delete;
    LinkSecurity& operator=(const LinkSecurity&) = delete;

    // Reads the three files of directory; false, with why, when one cannot be used.
    bool load(const std::string& directory, std::string& error);
    // A session over socket, to be driven without blocking; null when none can be made.
    SSL* session(int socket, bool accepting) const;

private:
    SSL_CTX* context = nullptr;
};

// The common name in the subject of session's peer certificate, verified by the handshake;
// empty when there is none, or more than one, or it holds a zero byte.
std::string peerCommonName(SSL* session);

// What OpenSSL's error queue says, emptied; "unknown" when it is empty.
std::string takeTlsErrors();
