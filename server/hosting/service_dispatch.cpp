// systemd starts the program as it is: the body runs directly.
#include "server/hosting/service_dispatch.h"

namespace mdl::service {

int RunAsService(const ServiceIdentity& id, bool foreground, const std::function<int()>& body) {
  (void)id;
  (void)foreground;
  return body();
}

}  // namespace mdl::service
