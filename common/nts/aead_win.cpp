// The Windows build has no AES-SIV-CMAC: NTS is not available there.
#include "common/nts/aead.h"

namespace mdl::nts {

size_t AeadKeyLength(AeadId id) {
  switch (id) {
    case AeadId::kAesSivCmac256:
      return 32;
    case AeadId::kAesSivCmac512:
      return 64;
  }
  return 0;
}

bool AeadSupported(uint16_t) { return false; }
std::vector<AeadId> SupportedAeads() { return {}; }
std::string AeadUnavailableReason() { return "NTS is not available in the Windows build"; }

bool AeadSealVector(AeadId, std::span<const uint8_t>, std::span<const std::span<const uint8_t>>,
                    std::span<const uint8_t>, std::vector<uint8_t>*) {
  return false;
}
bool AeadOpenVector(AeadId, std::span<const uint8_t>, std::span<const std::span<const uint8_t>>,
                    std::span<const uint8_t>, std::vector<uint8_t>*) {
  return false;
}
bool AeadSeal(AeadId, std::span<const uint8_t>, std::span<const uint8_t>, std::span<const uint8_t>,
              std::span<const uint8_t>, std::vector<uint8_t>*) {
  return false;
}
bool AeadOpen(AeadId, std::span<const uint8_t>, std::span<const uint8_t>, std::span<const uint8_t>,
              std::span<const uint8_t>, std::vector<uint8_t>*) {
  return false;
}

}  // namespace mdl::nts
