// The AEAD algorithms of authenticated NTP: AES-SIV-CMAC (deterministic,
// nonce-misuse resistant). Sealed output is the 16-byte synthetic IV followed
// by the ciphertext; the nonce is the last associated-data component.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mdl::nts {

enum class AeadId : uint16_t { kAesSivCmac256 = 15, kAesSivCmac512 = 17 };

inline constexpr size_t kAeadTagLength = 16;

// The key length of an algorithm: 32 or 64 bytes; 0 for an unknown id.
size_t AeadKeyLength(AeadId);
// Whether `id` names an algorithm this build can use.
bool AeadSupported(uint16_t id);
// What this build can do, the server's preference first (empty when the
// crypto library offers none, as in the Windows build).
std::vector<AeadId> SupportedAeads();
// Why NTS cannot run here, or empty when it can.
std::string AeadUnavailableReason();

// Seals `plaintext` under `key` with the associated data `ad` and `nonce`
// (left out of the vector when empty). out = tag (16) || ciphertext.
bool AeadSeal(AeadId, std::span<const uint8_t> key, std::span<const uint8_t> nonce,
              std::span<const uint8_t> ad, std::span<const uint8_t> plaintext, std::vector<uint8_t>* out);
// Opens a sealed value; false when it does not authenticate (or on a bad key
// length), `plaintext` then unspecified.
bool AeadOpen(AeadId, std::span<const uint8_t> key, std::span<const uint8_t> nonce,
              std::span<const uint8_t> ad, std::span<const uint8_t> sealed, std::vector<uint8_t>* plaintext);

// The general form: any number of associated-data components, in order.
bool AeadSealVector(AeadId, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
                    std::span<const uint8_t> plaintext, std::vector<uint8_t>* out);
bool AeadOpenVector(AeadId, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
                    std::span<const uint8_t> sealed, std::vector<uint8_t>* plaintext);

}  // namespace mdl::nts
