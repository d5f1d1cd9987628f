// Fuzz target for the update check's answers: the HTTP response read in
// pieces of a size taken from the first byte, the version file and the
// decisions after it, the downloaded list's check, and the UpdateHost value.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "server/update/update_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 64;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  for (size_t limit : {mdl::kMaxVersionBody, size_t{64}}) {
    mdl::ResponseReader reader(limit);
    auto state = mdl::ResponseReader::State::kReading;
    for (size_t at = 0; at < text.size() && state == mdl::ResponseReader::State::kReading; at += piece)
      state = reader.Feed(text.substr(at, piece));
    if (state == mdl::ResponseReader::State::kReading) state = reader.End();
    if (state == mdl::ResponseReader::State::kReading) __builtin_trap();  // an ended answer is decided
    if (state == mdl::ResponseReader::State::kDone) {
      if (reader.body().size() > limit) __builtin_trap();
      if (auto file = mdl::ParseVersionFile(reader.body())) {
        for (std::optional<uint64_t> local : {std::optional<uint64_t>(), std::optional<uint64_t>(1234)}) {
          const mdl::SaveItDecision d = mdl::DecideSaveIt(*file, "5.1.10", local);
          if (!local && d.list != mdl::ListAction::kFetchWithoutAsking) __builtin_trap();
        }
      }
      mdl::CheckListBody(reader.body());
    }
  }
  // The body alone as a version file, and its halves as versions.
  if (auto file = mdl::ParseVersionFile(text)) mdl::DecideSaveIt(*file, "5.1.10", 10);
  const std::string_view a = text.substr(0, text.size() / 2), b = text.substr(text.size() / 2);
  const auto ab = mdl::CompareVersions(a, b), ba = mdl::CompareVersions(b, a);
  if (ab.has_value() != ba.has_value() || (ab && *ab != -*ba)) __builtin_trap();
  if (auto host = mdl::ParseUpdateHost(text); host && (host->host.empty() || host->port == 0))
    __builtin_trap();
  return 0;
}
