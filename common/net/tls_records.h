// Pieces of a TLS stream whose library neither reads nor writes the socket
// (Schannel): the framing of records on the wire, the bounded buffer of bytes
// received and not yet consumed, and the certificates of a PEM file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace mdl::net {

inline constexpr size_t kTlsRecordHeader = 5;
// The largest ciphertext a record may carry (TLS 1.2's bound; TLS 1.3's is smaller).
inline constexpr size_t kMaxTlsRecordBody = 16384 + 2048;
inline constexpr size_t kMaxTlsRecord = kTlsRecordHeader + kMaxTlsRecordBody;

// The whole size of the record at the front of `bytes`: 0 while its header is
// incomplete; nullopt when the header is no TLS record's (an unknown content
// type, a major version other than 3, or a length over the bound).
std::optional<size_t> TlsRecordSize(std::span<const uint8_t> bytes);

// Bytes received and not yet consumed, at most `capacity` of them.
class TlsInput {
 public:
  explicit TlsInput(size_t capacity) : bytes_(capacity) {}

  // Where the next bytes are received: empty when full.
  std::span<uint8_t> Space() { return std::span<uint8_t>(bytes_).subspan(size_); }
  void Received(size_t n) { size_ += n <= bytes_.size() - size_ ? n : bytes_.size() - size_; }
  // The unconsumed bytes, writable: the library decrypts in place.
  std::span<uint8_t> data() { return std::span<uint8_t>(bytes_).first(size_); }
  size_t size() const { return size_; }
  bool full() const { return size_ == bytes_.size(); }
  // Keeps the last `n` bytes (what the library left unprocessed) at the front.
  void KeepTail(size_t n);
  void Clear() { size_ = 0; }
  // Whether a whole record is at the front; nullopt for bytes that are no record.
  std::optional<bool> HasRecord() const;

 private:
  std::vector<uint8_t> bytes_;
  size_t size_ = 0;
};

// The base64 bodies of the "CERTIFICATE" blocks of a PEM text, each with its
// BEGIN and END lines. A block without its END line is not returned.
std::vector<std::string_view> PemCertificateBlocks(std::string_view pem);

}  // namespace mdl::net
