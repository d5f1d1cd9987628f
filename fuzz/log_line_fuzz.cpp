// Fuzz target: request-log lines from arbitrary field texts and instants.
// Every line must be exactly one CR LF-terminated line ending in " - ".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "server/serving/request_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 16) return 0;
  int64_t ns;
  uint32_t numbers[2];
  std::memcpy(&ns, data, 8);
  std::memcpy(numbers, data + 8, 8);
  mdl::ZoneFacts zone;
  zone.bias_minutes = static_cast<int16_t>(numbers[1]) % 1440;
  zone.daylight_bias_minutes = -60;
  zone.daylight = (numbers[1] & 0x10000) != 0;

  // The rest is split into six texts at NUL bytes.
  std::string_view rest(reinterpret_cast<const char*>(data + 16), size - 16);
  std::string_view fields[6];
  for (auto& field : fields) {
    const size_t cut = rest.find('\0');
    field = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  mdl::LogEntry entry{fields[0], fields[1], static_cast<uint16_t>(numbers[0]), numbers[0] >> 8, fields[2],
                      fields[3], numbers[1]};
  const mdl::LocalDateTime local = mdl::LogLocalTime(mdl::UtcFromNs(ns), zone);
  if (local.month < 1 || local.month > 12 || local.day < 1 || local.day > 31 || local.hour > 23 ||
      local.minute > 59 || local.second > 59) {
    std::abort();
  }
  const std::string line = mdl::FormatLogLine(entry, local, fields[4], fields[5]);
  if (line.size() < 5 || line.find('\n') != line.size() - 1 || line.find('\r') != line.size() - 2 ||
      line.compare(line.size() - 5, 5, " - \r\n") != 0) {
    std::abort();
  }
  if (mdl::LogFileName(local).size() != 14) std::abort();
  return 0;
}
