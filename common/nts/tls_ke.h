// TLS for key establishment: TLS 1.3 only, the application protocol
// "ntske/1" required on both sides, and the keys of a session exported
// from the TLS secret. OpenSSL here (tls_ke.cpp); the Windows build has no
// NTS (tls_ke_win.cpp says so).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/nts/cookie.h"

namespace boost::asio::ssl {
class context;
}
struct ssl_st;

namespace mdl::nts {

// The server's context from a PEM certificate chain (the server's own
// certificate first) and its PEM private key. Null, with the reason in *why,
// when a file cannot be read, holds no usable certificate or key, or the two
// do not match. Clients without "ntske/1" are refused in the handshake.
std::shared_ptr<boost::asio::ssl::context> MakeKeServerTls(const std::string& chain_file,
                                                           const std::string& key_file, std::string* why);

// The client's context: the system's trusted certificates (when
// `system_store`) and those of `ca_file` (when not empty); peers are
// verified, "ntske/1" is offered. Null, with the reason in *why, on failure.
std::shared_ptr<boost::asio::ssl::context> MakeKeClientTls(const std::string& ca_file, bool system_store,
                                                           std::string* why);

// The client's context for this trust configuration, made once per thread
// and reused while `ca_file` keeps its modification time and size (a changed
// file gives a new context). Loading the system's certificates costs far
// more than a handshake, so every exchange goes through here.
std::shared_ptr<boost::asio::ssl::context> SharedKeClientTls(const std::string& ca_file, bool system_store,
                                                             std::string* why);

// How many client contexts this process has made (a test hook).
uint64_t KeClientTlsContextsMade();

// Whether the session agreed on "ntske/1".
bool AgreedOnKe(ssl_st* ssl);

// The session's client-to-server and server-to-client keys for NTPv4 with
// `aead`. False when the export fails.
bool ExportSessionKeys(ssl_st* ssl, AeadId aead, SessionKeys* out);

// Why NTS cannot run in this build; empty when it can.
std::string KeTlsUnavailableReason();

}  // namespace mdl::nts
