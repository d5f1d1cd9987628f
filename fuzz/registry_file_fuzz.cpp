// Fuzz target: any bytes through the registry store's parser. What is accepted
// must write back to text that reads as the same values, and that text must be
// the parser's fixed point (values of other types verbatim, repeats merged);
// nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/registry/reg_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const mdl::RegParseResult parsed = mdl::ParseRegFile(bytes);
  if (!parsed.ok) {
    if (!parsed.data.keys.empty() || parsed.error.empty() || parsed.error_line == 0) std::abort();
    return 0;
  }
  const std::string text = mdl::SerializeRegFile(parsed.data);
  const mdl::RegParseResult again = mdl::ParseRegFile(text);
  if (!again.ok || !again.warnings.empty()) std::abort();
  for (const mdl::RegKey& key : parsed.data.keys) {
    for (const mdl::RegValue& value : key.values) {
      if (!value.is_string() && !value.data.empty()) std::abort();
    }
  }
  if (!(again.data == parsed.data)) std::abort();
  if (mdl::SerializeRegFile(again.data) != text) std::abort();
  return 0;
}
