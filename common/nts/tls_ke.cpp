// Key establishment TLS over OpenSSL.
#include "common/nts/tls_ke.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <boost/asio/ssl/context.hpp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "common/nts/ke_records.h"

namespace mdl::nts {
namespace {

namespace ssl = boost::asio::ssl;

// "ntske/1" as an ALPN list: its length, then its bytes.
constexpr unsigned char kAlpnList[] = {7, 'n', 't', 's', 'k', 'e', '/', '1'};
constexpr char kExporterLabel[] = "EXPORTER-network-time-security";

// OpenSSL's last error, its queue emptied.
unsigned long LastSslError() {
  unsigned long e = 0;
  unsigned long last = 0;
  while ((e = ERR_get_error()) != 0) last = e;
  return last;
}

std::string ReasonText(unsigned long last) {
  if (last == 0) return "no reason given";
  const char* reason = ERR_reason_error_string(last);
  return reason ? reason : "error " + std::to_string(last);
}

std::string LastSslReason() { return ReasonText(LastSslError()); }

std::atomic<uint64_t> g_client_contexts_made{0};

// A client context and what it was made from.
struct CachedClientTls {
  std::string ca_file;
  bool system_store = true;
  std::filesystem::file_time_type modified{};
  uintmax_t size = 0;
  std::shared_ptr<ssl::context> context;
};

// A few trust configurations at most per thread; the oldest goes first.
constexpr size_t kClientTlsCacheLimit = 8;

bool Readable(const std::string& path, const char* what, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (in) return true;
  *why = std::string("cannot read the ") + what + " file " + path + ": " + std::strerror(errno);
  return false;
}

// A client hello without the ALPN extension ends the handshake: key
// establishment is only spoken to clients that ask for it by name.
int RequireAlpn(SSL* s, int* alert, void*) {
  const unsigned char* ext = nullptr;
  size_t length = 0;
  if (SSL_client_hello_get0_ext(s, TLSEXT_TYPE_application_layer_protocol_negotiation, &ext, &length) != 1) {
    *alert = SSL_AD_NO_APPLICATION_PROTOCOL;
    return SSL_CLIENT_HELLO_ERROR;
  }
  return SSL_CLIENT_HELLO_SUCCESS;
}

// "ntske/1" or a fatal no_application_protocol alert.
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* out_length, const unsigned char* in,
               unsigned int in_length, void*) {
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, out_length, kAlpnList, sizeof kAlpnList, in, in_length) !=
      OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

std::shared_ptr<ssl::context> MakeKeServerTls(const std::string& chain_file, const std::string& key_file,
                                              std::string* why) {
  if (!Readable(chain_file, "certificate", why) || !Readable(key_file, "key", why)) return nullptr;
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX* ctx = context->native_handle();
  ERR_clear_error();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1) {
    *why = "cannot require TLS 1.3: " + LastSslReason();
    return nullptr;
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, chain_file.c_str()) != 1) {
    *why = chain_file + " holds no usable PEM certificate: " + LastSslReason();
    return nullptr;
  }
  const std::string mismatch = "the key in " + key_file + " does not match the certificate in " + chain_file;
  if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    const unsigned long e = LastSslError();
    const bool other_key = ERR_GET_LIB(e) == ERR_LIB_X509 && ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH;
    *why = other_key ? mismatch : key_file + " holds no usable PEM private key: " + ReasonText(e);
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    ERR_clear_error();
    *why = mismatch;
    return nullptr;
  }
  // One exchange per connection: session tickets would never be used.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_client_hello_cb(ctx, RequireAlpn, nullptr);
  SSL_CTX_set_alpn_select_cb(ctx, SelectAlpn, nullptr);
  return context;
}

std::shared_ptr<ssl::context> MakeKeClientTls(const std::string& ca_file, bool system_store,
                                              std::string* why) {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
  SSL_CTX* ctx = context->native_handle();
  ERR_clear_error();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1) {
    *why = "cannot require TLS 1.3: " + LastSslReason();
    return nullptr;
  }
  if (system_store && SSL_CTX_set_default_verify_paths(ctx) != 1) {
    *why = "cannot load the system's trusted certificates: " + LastSslReason();
    return nullptr;
  }
  if (!ca_file.empty()) {
    if (!Readable(ca_file, "trusted certificates", why)) return nullptr;
    if (SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) != 1) {
      *why = ca_file + " holds no usable PEM certificate: " + LastSslReason();
      return nullptr;
    }
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_set_alpn_protos(ctx, kAlpnList, sizeof kAlpnList) != 0) {
    *why = "cannot offer the application protocol: " + LastSslReason();
    return nullptr;
  }
  g_client_contexts_made.fetch_add(1, std::memory_order_relaxed);
  return context;
}

std::shared_ptr<ssl::context> SharedKeClientTls(const std::string& ca_file, bool system_store,
                                                std::string* why) {
  // Per thread: no lock, and each engine thread loads the certificates once.
  thread_local std::vector<CachedClientTls> cache;
  std::filesystem::file_time_type modified{};
  uintmax_t size = 0;
  if (!ca_file.empty()) {
    std::error_code ec;
    modified = std::filesystem::last_write_time(ca_file, ec);
    if (!ec) size = std::filesystem::file_size(ca_file, ec);
    if (ec) {  // unreadable: MakeKeClientTls says why
      modified = {};
      size = 0;
    }
  }
  for (auto it = cache.begin(); it != cache.end(); ++it) {
    if (it->ca_file != ca_file || it->system_store != system_store) continue;
    if (it->modified == modified && it->size == size) return it->context;
    cache.erase(it);
    break;
  }
  auto context = MakeKeClientTls(ca_file, system_store, why);
  if (!context) return nullptr;
  if (cache.size() >= kClientTlsCacheLimit) cache.erase(cache.begin());
  cache.push_back(CachedClientTls{ca_file, system_store, modified, size, context});
  return context;
}

uint64_t KeClientTlsContextsMade() { return g_client_contexts_made.load(std::memory_order_relaxed); }

bool AgreedOnKe(SSL* s) {
  const unsigned char* name = nullptr;
  unsigned int length = 0;
  SSL_get0_alpn_selected(s, &name, &length);
  return length == sizeof kAlpnList - 1 && std::memcmp(name, kAlpnList + 1, length) == 0;
}

bool ExportSessionKeys(SSL* s, AeadId aead, SessionKeys* out) {
  const size_t length = AeadKeyLength(aead);
  if (length == 0) return false;
  const auto id = static_cast<uint16_t>(aead);
  // Protocol id (NTPv4), AEAD id, then 0 for client-to-server or 1 for server-to-client.
  unsigned char context[5] = {kProtocolNtpV4 >> 8, kProtocolNtpV4 & 0xff, static_cast<unsigned char>(id >> 8),
                              static_cast<unsigned char>(id & 0xff), 0};
  out->aead = aead;
  out->c2s.assign(length, 0);
  out->s2c.assign(length, 0);
  const size_t label_length = sizeof kExporterLabel - 1;
  if (SSL_export_keying_material(s, out->c2s.data(), length, kExporterLabel, label_length, context,
                                 sizeof context, 1) != 1)
    return false;
  context[4] = 1;
  return SSL_export_keying_material(s, out->s2c.data(), length, kExporterLabel, label_length, context,
                                    sizeof context, 1) == 1;
}

std::string KeTlsUnavailableReason() { return {}; }

}  // namespace mdl::nts
