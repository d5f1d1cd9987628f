// The TLS client stream over Schannel (SSPI). Schannel neither reads nor
// writes the socket: records pass through bounded buffers here. Its own
// certificate check is off (manual validation): the chain is verified here,
// against the system's roots and the extra CA file, before the first byte of
// the request leaves.
#include "common/net/tls_stream.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "common/net/tls_records.h"

// In this order: each header needs the ones before it. SCH_CREDENTIALS needs
// SCHANNEL_USE_BLACKLISTS and UNICODE_STRING (subauth.h).
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
// clang-format off
#include <subauth.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
// clang-format on

namespace mdl::net {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
// A handshake flight may span several records (a long certificate chain).
constexpr size_t kInputCapacity = 4 * kMaxTlsRecord;
constexpr std::streamsize kMaxCaFile = 4 << 20;
// SECURITY_FLAG_IGNORE_UNKNOWN_CA of wininet.h: the root was accepted here, from the extra file.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// The statuses a handshake or a record most often ends with, in words: not
// every system (nor Wine) has message texts for them.
const char* KnownStatus(SECURITY_STATUS status) {
  switch (status) {
    case SEC_E_INTERNAL_ERROR:
      return "internal error, or the server refused the protocol version";
    case SEC_E_ILLEGAL_MESSAGE:
      return "the server's message is malformed, or it sent an alert";
    case SEC_E_ALGORITHM_MISMATCH:
      return "no protocol version or cipher in common with the server";
    case SEC_E_UNSUPPORTED_FUNCTION:
      return "the protocol version is not supported";
    case SEC_E_DECRYPT_FAILURE:
      return "a record does not decrypt";
    case SEC_E_MESSAGE_ALTERED:
      return "a record was altered";
    case SEC_E_INVALID_TOKEN:
      return "the server's message is not valid";
    case SEC_E_NO_CREDENTIALS:
      return "no credentials";
    default:
      return nullptr;
  }
}

std::string StatusText(SECURITY_STATUS status) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
  std::string text;
  if (const char* known = KnownStatus(status)) {
    text = known;
  } else {
    text = error_code(status, boost::system::system_category()).message();
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
      text.pop_back();
    if (text.rfind("Unknown error", 0) == 0) text.clear();
  }
  return "SSPI status " + std::string(code) + (text.empty() ? "" : " (" + text + ")");
}

// The protocol a connection runs, for the refusal of anything before TLS 1.2.
std::string ProtocolName(DWORD protocol) {
  if (protocol & SP_PROT_SSL2_CLIENT) return "SSL 2.0";
  if (protocol & SP_PROT_SSL3_CLIENT) return "SSL 3.0";
  if (protocol & SP_PROT_TLS1_0_CLIENT) return "TLS 1.0";
  if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLS 1.1";
  if (protocol & SP_PROT_TLS1_2_CLIENT) return "TLS 1.2";
  if (protocol & SP_PROT_TLS1_3_CLIENT) return "TLS 1.3";
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%lX", static_cast<unsigned long>(protocol));
  return "protocol " + std::string(flags);
}

// The chain's faults in words, the most telling first.
std::string TrustReason(DWORD errors) {
  if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
    return "issued by an authority that is not trusted";
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return "expired or not yet valid";
  if (errors & CERT_TRUST_IS_REVOKED) return "revoked";
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "a signature does not verify";
  if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "not issued for server authentication";
  if (errors & CERT_TRUST_IS_CYCLIC) return "the chain is cyclic";
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%08lX", static_cast<unsigned long>(errors));
  return "chain status " + std::string(flags);
}

std::string PolicyReason(DWORD error) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
      return "issued by an authority that is not trusted";
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "expired or not yet valid";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
      return "not issued for server authentication";
    case static_cast<DWORD>(CERT_E_REVOKED):
      return "revoked";
    default:
      return StatusText(static_cast<SECURITY_STATUS>(error));
  }
}

error_code Refused() { return boost::system::errc::make_error_code(boost::system::errc::permission_denied); }
error_code ProtocolError() {
  return boost::system::errc::make_error_code(boost::system::errc::protocol_error);
}

// The address `host` names, in network order; empty for a name.
std::vector<uint8_t> AddressBytes(const std::string& host) {
  error_code ec;
  const asio::ip::address a = asio::ip::make_address(host, ec);
  if (ec) return {};
  if (a.is_v4()) {
    const auto b = a.to_v4().to_bytes();
    return {b.begin(), b.end()};
  }
  const auto b = a.to_v6().to_bytes();
  return {b.begin(), b.end()};
}

// Whether the certificate's subject alternative names hold the address.
bool NamesAddress(PCCERT_CONTEXT cert, const std::vector<uint8_t>& address) {
  const CERT_INFO* info = cert->pCertInfo;
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (!ext) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
    found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == address.size() &&
            std::memcmp(e.IPAddress.pbData, address.data(), address.size()) == 0;
  }
  LocalFree(names);
  return found;
}

class SchannelStream : public ClientStream {
 public:
  explicit SchannelStream(asio::io_context& io) : io_(io), socket_(io), input_(kInputCapacity) {
    SecInvalidateHandle(&credentials_);
    SecInvalidateHandle(&context_);
  }
  ~SchannelStream() override {
    if (has_context_) DeleteSecurityContext(&context_);
    if (has_credentials_) FreeCredentialsHandle(&credentials_);
    if (extra_) CertCloseStore(extra_, 0);
  }

  bool SetUp(const TlsPeer& peer, std::string* why) {
    host_ = peer.host;
    address_ = AddressBytes(peer.host);
    if (address_.empty()) target_ = Wide(peer.host);
    if (!peer.extra_ca_file.empty() && !LoadExtraCas(peer.extra_ca_file, why)) return false;
    return AcquireCredentials(why);
  }

  tcp::socket& socket() override { return socket_; }
  std::string failure() const override { return failure_; }

  void Handshake(Done done) override { Negotiate(std::move(done)); }

  void Write(asio::const_buffer bytes, Done done) override {
    if (!ready_) return Post(std::move(done), ProtocolError());
    output_.clear();
    const auto* from = static_cast<const char*>(bytes.data());
    size_t left = bytes.size();
    while (left > 0) {
      const size_t n = std::min<size_t>(left, sizes_.cbMaximumMessage);
      const size_t base = output_.size();
      output_.resize(base + sizes_.cbHeader + n + sizes_.cbTrailer);
      char* at = output_.data() + base;
      std::memcpy(at + sizes_.cbHeader, from, n);
      SecBuffer b[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, at},
                        {static_cast<ULONG>(n), SECBUFFER_DATA, at + sizes_.cbHeader},
                        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, at + sizes_.cbHeader + n},
                        {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
      const SECURITY_STATUS st = EncryptMessage(&context_, 0, &desc, 0);
      if (st != SEC_E_OK) {
        failure_ = "TLS encryption failed: " + StatusText(st);
        return Post(std::move(done), error_code(st, boost::system::system_category()));
      }
      // The three parts are contiguous; the trailer may come out shorter.
      output_.resize(base + b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer);
      from += n;
      left -= n;
    }
    asio::async_write(socket_, asio::buffer(output_),
                      [done = std::move(done)](const error_code& ec, size_t) { done(ec); });
  }

  void ReadSome(asio::mutable_buffer into, ReadDone done) override {
    if (!ready_) {
      asio::post(io_, [done = std::move(done)] { done(ProtocolError(), 0); });
      return;
    }
    Decrypt(into, std::move(done));
  }

 private:
  bool LoadExtraCas(const std::string& path, std::string* why) {
    const std::string prefix = "cannot load the trusted certificates: " + path + ": ";
    // The registry's text is UTF-8: opened by its wide name.
    std::ifstream in(std::filesystem::path(Wide(path)), std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    if (size < 0) {
      *why = prefix + "cannot be read";
      return false;
    }
    if (size > kMaxCaFile) {
      *why = prefix + "larger than 4 MiB";
      return false;
    }
    std::string text(static_cast<size_t>(size), '\0');
    in.seekg(0);
    if (!in.read(text.data(), size)) {
      *why = prefix + "cannot be read";
      return false;
    }
    extra_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (!extra_) {
      *why = prefix + "no certificate store";
      return false;
    }
    int count = 0;
    for (std::string_view block : PemCertificateBlocks(text)) {
      ++count;
      DWORD size = 0;
      std::vector<BYTE> der;
      bool ok = CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                                     CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr);
      if (ok) {
        der.resize(size);
        ok = CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                  der.data(), &size, nullptr, nullptr);
      }
      if (ok)
        ok = CertAddEncodedCertificateToStore(extra_, X509_ASN_ENCODING, der.data(), size,
                                              CERT_STORE_ADD_USE_EXISTING, nullptr);
      if (!ok) {
        *why = prefix + "certificate " + std::to_string(count) + " cannot be decoded";
        return false;
      }
    }
    if (count == 0) {
      *why = prefix + "holds no PEM certificate";
      return false;
    }
    return true;
  }

  // TLS 1.2 and 1.3 only: SCH_CREDENTIALS where Schannel knows it, the older
  // structure otherwise (it cannot enable TLS 1.3 on every version).
  bool AcquireCredentials(std::string* why) {
    const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TLS_PARAMETERS params{};
    params.grbitDisabledProtocols =
        SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = flags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &params;
    SECURITY_STATUS st = Acquire(&current);
    for (DWORD protocols :
         {DWORD{SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT}, DWORD{SP_PROT_TLS1_2_CLIENT}}) {
      if (st == SEC_E_OK) break;
      SCHANNEL_CRED older{};
      older.dwVersion = SCHANNEL_CRED_VERSION;
      older.grbitEnabledProtocols = protocols;
      older.dwFlags = flags;
      st = Acquire(&older);
    }
    if (st != SEC_E_OK) {
      *why = "TLS is not available: " + StatusText(st);
      return false;
    }
    has_credentials_ = true;
    return true;
  }

  SECURITY_STATUS Acquire(void* auth_data) {
    return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                     nullptr, auth_data, nullptr, nullptr, &credentials_, nullptr);
  }

  void Post(Done done, error_code ec) {
    asio::post(io_, [done = std::move(done), ec] { done(ec); });
  }

  // Completions always come from the io_context, never from within the call that started them.
  void Fail(const Done& done, std::string why, error_code ec) {
    failure_ = std::move(why);
    Post(done, ec);
  }

  // Reads more of the peer's bytes, then runs `next`.
  void ReadMore(Done next) {
    if (input_.full())
      return Fail(next, "a TLS record is larger than " + std::to_string(kMaxTlsRecord) + " bytes",
                  ProtocolError());
    const std::span<uint8_t> space = input_.Space();
    socket_.async_read_some(asio::buffer(space.data(), space.size()),
                            [this, next = std::move(next)](const error_code& ec, size_t n) {
                              if (ec) {
                                if (failure_.empty() && !ready_)
                                  failure_ = "the connection ended during the TLS handshake: " + ec.message();
                                return next(ec);
                              }
                              input_.Received(n);
                              next({});
                            });
  }

  // One round of the handshake (the first one, or one started by the peer
  // later) over the bytes received; `done` when it is complete and the peer
  // verified.
  void Negotiate(Done done) {
    if (input_.size() > 0 && !input_.HasRecord().has_value())
      return Fail(done, "the server sent something other than TLS", ProtocolError());
    SecBuffer in[2] = {{static_cast<ULONG>(input_.size()), SECBUFFER_TOKEN, input_.data().data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    const bool first = !has_context_;
    const SECURITY_STATUS st = InitializeSecurityContextW(
        &credentials_, first ? nullptr : &context_, target_.empty() ? nullptr : target_.data(), kContextFlags,
        0, 0, first ? nullptr : &in_desc, 0, &context_, &out_desc, &attributes, nullptr);
    if (first && !FAILED(st)) has_context_ = true;
    std::string token;
    if (out[0].pvBuffer) {
      token.assign(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
      FreeContextBuffer(out[0].pvBuffer);
    }
    if (st == SEC_E_INCOMPLETE_MESSAGE) return ReadMore(Then(std::move(done), &SchannelStream::Negotiate));
    if (st != SEC_E_OK && st != SEC_I_CONTINUE_NEEDED) {
      if (st == SEC_I_INCOMPLETE_CREDENTIALS)
        return Fail(done, "TLS handshake failed: the server asks for a client certificate", Refused());
      return Fail(done, "TLS handshake failed: " + StatusText(st),
                  error_code(st, boost::system::system_category()));
    }
    if (!first) {
      if (in[1].BufferType == SECBUFFER_EXTRA) {
        input_.KeepTail(in[1].cbBuffer);
      } else {
        input_.Clear();
      }
    }
    Send(std::move(token), [this, st, done = std::move(done)](const error_code& ec) {
      if (ec) return Fail(done, "cannot send the TLS handshake: " + ec.message(), ec);
      if (st == SEC_I_CONTINUE_NEEDED) {
        if (input_.size() > 0) return Negotiate(done);
        return ReadMore(Then(done, &SchannelStream::Negotiate));
      }
      if (std::string why = CheckProtocol(); !why.empty()) return Fail(done, why, Refused());
      if (std::string why = VerifyPeer(); !why.empty()) return Fail(done, why, Refused());
      const SECURITY_STATUS sizes = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
      if (sizes != SEC_E_OK) return Fail(done, "TLS handshake failed: " + StatusText(sizes), ProtocolError());
      ready_ = true;
      done({});
    });
  }

  // A continuation that runs `step` unless the read before it failed.
  Done Then(Done done, void (SchannelStream::*step)(Done)) {
    return [this, done = std::move(done), step](const error_code& ec) {
      if (ec) return done(ec);
      (this->*step)(done);
    };
  }

  void Send(std::string token, Done then) {
    if (token.empty()) return then({});
    pending_ = std::move(token);
    asio::async_write(socket_, asio::buffer(pending_),
                      [then = std::move(then)](const error_code& ec, size_t) { then(ec); });
  }

  // Empty for TLS 1.2 or 1.3. Some Schannels (Wine's) take SCH_CREDENTIALS
  // but not its disabled protocols: what was agreed is checked here.
  std::string CheckProtocol() {
    SecPkgContext_ConnectionInfo info{};
    const SECURITY_STATUS st = QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &info);
    if (st != SEC_E_OK) return "TLS handshake failed: no protocol version: " + StatusText(st);
    if (info.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) return {};
    return "TLS handshake failed: the server chose " + ProtocolName(info.dwProtocol) +
           "; only TLS 1.2 and 1.3 are accepted";
  }

  // Empty when the peer's certificate chains to a root the system trusts, or
  // to one of the extra file's certificates, and names the host.
  std::string VerifyPeer() {
    PCCERT_CONTEXT leaf = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) != SEC_E_OK || !leaf)
      return "the server sent no certificate";
    HCERTSTORE more = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (more) {
      if (leaf->hCertStore) CertAddStoreToCollection(more, leaf->hCertStore, 0, 0);
      if (extra_) CertAddStoreToCollection(more, extra_, 0, 0);
    }
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    std::string why;
    if (!CertGetCertificateChain(nullptr, leaf, nullptr, more, &para, 0, nullptr, &chain)) {
      why = "certificate not trusted: no chain: " + StatusText(static_cast<SECURITY_STATUS>(GetLastError()));
    } else {
      why = CheckChain(leaf, chain);
      CertFreeCertificateChain(chain);
    }
    if (more) CertCloseStore(more, 0);
    CertFreeCertificateContext(leaf);
    return why;
  }

  std::string CheckChain(PCCERT_CONTEXT leaf, PCCERT_CHAIN_CONTEXT chain) {
    DWORD errors = chain->TrustStatus.dwErrorStatus &
                   ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    bool extra_root = false;
    if ((errors & CERT_TRUST_IS_UNTRUSTED_ROOT) && chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
      const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
      if (IsExtraCa(simple->rgpElement[simple->cElement - 1]->pCertContext)) {
        errors &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
        extra_root = true;
      }
    }
    if (errors) return "certificate not trusted: " + TrustReason(errors);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = extra_root ? kIgnoreUnknownCa : 0;
    // An address is compared with the address names below.
    ssl.pwszServerName = target_.empty() ? nullptr : target_.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
      return "certificate not checked: " + StatusText(static_cast<SECURITY_STATUS>(GetLastError()));
    if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) return "certificate does not name " + host_;
    if (status.dwError != 0) return "certificate not trusted: " + PolicyReason(status.dwError);
    if (!address_.empty() && !NamesAddress(leaf, address_)) return "certificate does not name " + host_;
    return {};
  }

  // The same encoded certificate as one of the extra file's.
  bool IsExtraCa(PCCERT_CONTEXT cert) const {
    if (!extra_) return false;
    bool found = false;
    PCCERT_CONTEXT c = nullptr;
    while (!found && (c = CertEnumCertificatesInStore(extra_, c)) != nullptr) {
      found = c->cbCertEncoded == cert->cbCertEncoded &&
              std::memcmp(c->pbCertEncoded, cert->pbCertEncoded, cert->cbCertEncoded) == 0;
    }
    if (c) CertFreeCertificateContext(c);
    return found;
  }

  // Hands out plaintext, decrypting the records received; reads more when no
  // whole record is there.
  void Decrypt(asio::mutable_buffer into, ReadDone done) {
    for (;;) {
      if (plain_at_ < plain_.size()) {
        const size_t n = std::min(into.size(), plain_.size() - plain_at_);
        std::memcpy(into.data(), plain_.data() + plain_at_, n);
        plain_at_ += n;
        asio::post(io_, [done = std::move(done), n] { done({}, n); });
        return;
      }
      if (closed_) {
        asio::post(io_, [done = std::move(done)] { done(asio::error::eof, 0); });
        return;
      }
      const std::optional<bool> whole = input_.HasRecord();
      if (!whole) {
        failure_ = "the server sent something other than TLS";
        asio::post(io_, [done = std::move(done)] { done(ProtocolError(), 0); });
        return;
      }
      if (!*whole) return ReadMore(ResumeRead(into, std::move(done)));
      SecBuffer b[4] = {{static_cast<ULONG>(input_.size()), SECBUFFER_DATA, input_.data().data()},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
      const SECURITY_STATUS st = DecryptMessage(&context_, &desc, 0, nullptr);
      if (st == SEC_E_INCOMPLETE_MESSAGE) return ReadMore(ResumeRead(into, std::move(done)));
      if (st != SEC_E_OK && st != SEC_I_RENEGOTIATE && st != SEC_I_CONTEXT_EXPIRED) {
        failure_ = "TLS decryption failed: " + StatusText(st);
        asio::post(
            io_, [done = std::move(done), st] { done(error_code(st, boost::system::system_category()), 0); });
        return;
      }
      // The plaintext lies inside the input: taken before the tail moves.
      plain_.clear();
      plain_at_ = 0;
      size_t extra = 0;
      for (const SecBuffer& s : b) {
        if (s.BufferType == SECBUFFER_DATA && s.pvBuffer)
          plain_.insert(plain_.end(), static_cast<char*>(s.pvBuffer),
                        static_cast<char*>(s.pvBuffer) + s.cbBuffer);
        if (s.BufferType == SECBUFFER_EXTRA) extra = s.cbBuffer;
      }
      input_.KeepTail(extra);
      if (st == SEC_I_CONTEXT_EXPIRED) closed_ = true;  // close_notify
      // A post-handshake message (a TLS 1.3 session ticket or key update, or
      // a renegotiation): the unprocessed tail goes to the handshake.
      if (st == SEC_I_RENEGOTIATE) return Negotiate(ResumeRead(into, std::move(done)));
    }
  }

  Done ResumeRead(asio::mutable_buffer into, ReadDone done) {
    return [this, into, done = std::move(done)](const error_code& ec) {
      if (ec) return done(ec, 0);
      Decrypt(into, done);
    };
  }

  asio::io_context& io_;
  tcp::socket socket_;
  std::string host_;
  std::wstring target_;           // the server name sent; empty for an address
  std::vector<uint8_t> address_;  // the address connected to by its text; empty for a name
  HCERTSTORE extra_ = nullptr;
  CredHandle credentials_;
  CtxtHandle context_;
  bool has_credentials_ = false;
  bool has_context_ = false;
  bool ready_ = false;   // handshake done, peer verified
  bool closed_ = false;  // close_notify received
  SecPkgContext_StreamSizes sizes_{};
  TlsInput input_;
  std::vector<char> plain_;
  size_t plain_at_ = 0;
  std::vector<char> output_;
  std::string pending_;
  std::string failure_;
};

}  // namespace

std::unique_ptr<ClientStream> MakeTlsStream(asio::io_context& io, const TlsPeer& peer, std::string* why) {
  auto s = std::make_unique<SchannelStream>(io);
  if (!s->SetUp(peer, why)) return nullptr;
  return s;
}

}  // namespace mdl::net
