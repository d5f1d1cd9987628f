// ParseControlRequest.
#include "server/hosting/control_channel.h"

namespace mdl::service {

ControlRequest ParseControlRequest(std::string_view received) {
  const size_t eol = received.find('\n');
  if (eol == std::string_view::npos) {
    return {received.size() < kControlRequestMax ? ControlRequest::State::kIncomplete
                                                 : ControlRequest::State::kRefused,
            {}};
  }
  if (eol >= kControlRequestMax) return {ControlRequest::State::kRefused, {}};
  std::string_view line = received.substr(0, eol);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return {ControlRequest::State::kLine, line};
}

}  // namespace mdl::service
