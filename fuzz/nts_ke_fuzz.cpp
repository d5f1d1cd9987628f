// Fuzz target: any byte stream as a key establishment message, read by the
// server (request) and the client (response). Nothing may crash; a complete
// message must frame back to the same bytes, and every answer the server
// builds must itself be a complete message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "common/nts/ke_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace mdl::nts;
  const std::span<const uint8_t> bytes(data, size);
  const KeParse p = ParseKeMessage(bytes);
  if (p.state == KeParse::State::kIncomplete && size > kKeMessageLimit) std::abort();
  if (p.state != KeParse::State::kComplete) return 0;
  if (p.records.empty() || p.records.size() > kKeRecordLimit) std::abort();
  std::vector<uint8_t> again;
  for (const KeRecord& r : p.records) AppendKeRecord(&again, r.critical, r.type, r.body);
  if (again.size() != size || !std::equal(again.begin(), again.end(), data)) std::abort();

  const uint16_t ours[] = {15, 17};
  const KeRequestDecision d = InterpretKeRequest(p.records, ours);
  if (d.kind == KeRequestDecision::Kind::kKeys && d.aead != 15 && d.aead != 17) std::abort();
  const std::vector<uint8_t> answer = d.kind == KeRequestDecision::Kind::kKeys
                                          ? BuildKeResponse({d.aead, {{1, 2, 3}}, {}, 4123})
                                          : BuildKeRefusal(d);
  if (ParseKeMessage(answer).state != KeParse::State::kComplete) std::abort();

  const KeResponseFacts f = InterpretKeResponse(p.records, ours);
  if (f.ok && (f.cookies.empty() || f.cookies.size() > kKeCookiesPerExchange)) std::abort();
  if (!f.ok && f.error.empty()) std::abort();
  return 0;
}
