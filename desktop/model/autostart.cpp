// The autostart hook's outcome.
#include "desktop/model/autostart.h"

namespace mdl::desktop {

std::string ApplyAutostart(const AutostartHook& hook, bool on) {
  if (!hook) return {};
  const std::string problem = hook(on);
  return problem.empty() ? std::string() : "Autostart entry: " + problem;
}

}  // namespace mdl::desktop
