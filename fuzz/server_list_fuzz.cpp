// Fuzz target for the server list file and the host field of its lines.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "server/upstream/server_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  mdl::ServerList list = mdl::ServerList::Parse(text);
  if (list.entries().size() > mdl::ServerList::kMaxEntries) __builtin_trap();
  for (const mdl::ServerEntry& entry : list.entries()) {
    const auto address = mdl::ParseUpstreamAddress(entry.host_field);
    if (address && (address->host.empty() || address->port == 0)) __builtin_trap();
  }
  // The region code from the first two bytes, then a pick from both ends.
  list.CalcRandR(text.substr(0, 2));
  for (double u : {0.0, 0.5, 0.999999}) {
    const auto position = list.GrabRandom(u);
    if (position && (*position < 1 || *position > list.ServerCount())) __builtin_trap();
    if (position && list.UpstreamHost() != list.entries()[*position - 1].host_field) {
      __builtin_trap();
    }
  }
  return 0;
}
