// The Windows build has no NTS: nonces come straight from the system.
#include "common/clock/secure_random.h"
#include "common/nts/nonce.h"

namespace mdl::nts {

NonceGenerator::NonceGenerator(std::span<const uint8_t, 32>) {}
NonceGenerator::~NonceGenerator() = default;
bool NonceGenerator::Reseed() { return false; }
bool NonceGenerator::Refill() { return false; }
bool NonceGenerator::Fill(std::span<uint8_t> out) { return FillSecureRandom(out); }

bool FillNonce(std::span<uint8_t> out) { return FillSecureRandom(out); }

}  // namespace mdl::nts
