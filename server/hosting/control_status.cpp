// RunStatusCommand: the asking side of the control channel.
#include <cstdio>

#include "server/hosting/control_channel.h"

namespace mdl::service {

int RunStatusCommand(std::string_view program, std::string_view service, const std::filesystem::path& home,
                     bool json) {
  const ControlReply reply = AskControl(home, service, json ? "status json" : "status");
  const std::string where = ControlEndpoint(home, service);
  switch (reply.kind) {
    case ControlReply::Kind::kNoInstance: {
      std::error_code ec;
      const std::filesystem::path abs = std::filesystem::absolute(home, ec);
      std::fprintf(stderr, "no %.*s runs in %s\n", static_cast<int>(program.size()), program.data(),
                   (ec ? home : abs).string().c_str());
      return 3;
    }
    case ControlReply::Kind::kFailed:
      std::fprintf(stderr, "%.*s: -status: %s\n", static_cast<int>(program.size()), program.data(),
                   reply.text.c_str());
      return 1;
    case ControlReply::Kind::kAnswered:
      break;
  }
  if (reply.text.rfind("error:", 0) == 0 || reply.text.empty()) {
    std::fprintf(stderr, "%.*s: -status: %s answered: %s\n", static_cast<int>(program.size()), program.data(),
                 where.c_str(), reply.text.empty() ? "nothing" : reply.text.c_str());
    return 1;
  }
  std::fwrite(reply.text.data(), 1, reply.text.size(), stdout);
  std::fflush(stdout);
  return 0;
}

}  // namespace mdl::service
