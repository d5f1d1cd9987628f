// The Windows build has no NTS: the key establishment server never opens.
#include "server/hosting/nts_ke_server.h"

namespace mdl::service {

struct NtsKeServer::Impl {};

NtsKeServer::NtsKeServer(NtsKeHooks, NtsKeServerOptions) : impl_(std::make_unique<Impl>()) {}
NtsKeServer::~NtsKeServer() = default;

bool NtsKeServer::Open(const NtsKeConfig&, const boost::asio::ip::address&, uint16_t, std::string* why) {
  *why = "NTS is not available in the Windows build";
  return false;
}
bool NtsKeServer::Reload(const NtsKeConfig&, std::string* why) {
  *why = "NTS is not available in the Windows build";
  return false;
}
uint16_t NtsKeServer::port() const { return 0; }
void NtsKeServer::Close() {}

}  // namespace mdl::service
