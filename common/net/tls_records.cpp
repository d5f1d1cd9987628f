#include "common/net/tls_records.h"

#include <algorithm>
#include <cstring>

namespace mdl::net {

std::optional<size_t> TlsRecordSize(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return 0;
  // change_cipher_spec, alert, handshake, application_data.
  if (bytes[0] < 20 || bytes[0] > 23) return std::nullopt;
  if (bytes.size() >= 2 && bytes[1] != 3) return std::nullopt;
  if (bytes.size() < kTlsRecordHeader) return 0;
  const size_t length = (size_t{bytes[3]} << 8) | bytes[4];
  if (length > kMaxTlsRecordBody) return std::nullopt;
  return kTlsRecordHeader + length;
}

void TlsInput::KeepTail(size_t n) {
  n = std::min(n, size_);
  if (n > 0 && n < size_) std::memmove(bytes_.data(), bytes_.data() + (size_ - n), n);
  size_ = n;
}

std::optional<bool> TlsInput::HasRecord() const {
  const std::optional<size_t> need = TlsRecordSize(std::span<const uint8_t>(bytes_).first(size_));
  if (!need) return std::nullopt;
  return *need != 0 && *need <= size_;
}

std::vector<std::string_view> PemCertificateBlocks(std::string_view pem) {
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  std::vector<std::string_view> blocks;
  size_t at = 0;
  while ((at = pem.find(kBegin, at)) != std::string_view::npos) {
    const size_t end = pem.find(kEnd, at + kBegin.size());
    if (end == std::string_view::npos) break;
    // A second BEGIN before the END: the first block is cut off.
    const size_t next = pem.find(kBegin, at + kBegin.size());
    if (next != std::string_view::npos && next < end) {
      at = next;
      continue;
    }
    blocks.push_back(pem.substr(at, end + kEnd.size() - at));
    at = end + kEnd.size();
  }
  return blocks;
}

}  // namespace mdl::net
