#include "LinkSecurity.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>

LinkSecurity::~LinkSecurity() {
    SSL_CTX_free(context);
}

bool LinkSecurity::load(const std::string& directory, std::string& error) {
    context = SSL_CTX_new(TLS_method());
    if (context == nullptr) {
        error = "cannot make a TLS context: " + takeTlsErrors();
        return false;
    }
    // Both ends are this system's daemons: the current version only.
    SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
    // Links are long-lived and made again only after one is lost: no sessions to resume.
    SSL_CTX_set_num_tickets(context, 0);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    // Writes go on after a partial one from where it stopped; the queue's records may move.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                  SSL_MODE_RELEASE_BUFFERS);
    const std::string ca = directory + "/identity_ca.pem";
    const std::string certificate = directory + "/device.pem";
    const std::string key = directory + "/device.key";
    if (SSL_CTX_load_verify_locations(context, ca.c_str(), nullptr) != 1) {
        error = "cannot read the identity CA '" + ca + "': " + takeTlsErrors();
    } else if (SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) != 1) {
        error = "cannot read the device certificate '" + certificate + "': " + takeTlsErrors();
    } else if (SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
               SSL_CTX_check_private_key(context) != 1) {
        error = "cannot use the device key '" + key + "': " + takeTlsErrors();
    }
    return error.empty();
}

SSL* LinkSecurity::session(int socket, bool accepting) const {
    SSL* session = SSL_new(context);
    if (session == nullptr) return nullptr;
    if (SSL_set_fd(session, socket) != 1) {
        SSL_free(session);
        return nullptr;
    }
    if (accepting) {
        SSL_set_accept_state(session);
    } else {
        SSL_set_connect_state(session);
    }
    return session;
}

std::string peerCommonName(SSL* session) {
    X509* certificate = SSL_get0_peer_certificate(session);
    if (certificate == nullptr || SSL_get_verify_result(session) != X509_V_OK) return {};
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int first = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (first < 0 || X509_NAME_get_index_by_NID(subject, NID_commonName, first) >= 0) return {};
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, first));
    const auto* bytes = reinterpret_cast<const char*>(ASN1_STRING_get0_data(data));
    const std::string name(bytes, static_cast<std::size_t>(ASN1_STRING_length(data)));
    return name.find('\0') == std::string::npos ? name : std::string();
}

std::string takeTlsErrors() {
    std::string errors;
    while (const unsigned long code = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        if (!errors.empty()) errors += "; ";
        errors += text;
    }
    return errors.empty() ? "unknown" : errors;
}
