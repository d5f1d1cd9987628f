// Fuzz target: the control channel's request bytes, whole and as they arrive
// in pieces, and the JSON quoting of what the status answers carry. A request
// is decided by its first 64 bytes; a line never holds a line end; a quoted
// string holds no raw control character and ends where its quotes say.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/time/report_text.h"
#include "server/hosting/control_channel.h"

using mdl::service::ControlRequest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const ControlRequest whole = mdl::service::ParseControlRequest(bytes);
  if (whole.state == ControlRequest::State::kLine) {
    if (whole.line.size() >= mdl::service::kControlRequestMax) std::abort();
    if (whole.line.find('\n') != std::string_view::npos) std::abort();
    if (whole.line.data() != bytes.data()) std::abort();
  }
  if (whole.state == ControlRequest::State::kIncomplete && size >= mdl::service::kControlRequestMax)
    std::abort();

  // Arriving a byte at a time: the first decided state is the whole's.
  std::string in;
  ControlRequest piece;
  for (char c : bytes) {
    in += c;
    piece = mdl::service::ParseControlRequest(in);
    if (piece.state != ControlRequest::State::kIncomplete) break;
  }
  if (piece.state != whole.state || piece.line != whole.line) std::abort();

  const std::string quoted = mdl::JsonQuoted(bytes);
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') std::abort();
  for (size_t i = 1; i + 1 < quoted.size(); ++i) {
    const auto c = static_cast<unsigned char>(quoted[i]);
    if (c < 0x20 || c == 0x7f) std::abort();
    if (c == '\\') {
      ++i;  // the escaped character
    } else if (c == '"') {
      std::abort();  // an unescaped quote would end the string early
    }
  }
  return 0;
}
