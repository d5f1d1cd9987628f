// The Windows build has no NTS: every TLS context for key establishment fails.
#include "common/nts/tls_ke.h"

namespace mdl::nts {

std::shared_ptr<boost::asio::ssl::context> MakeKeServerTls(const std::string&, const std::string&,
                                                           std::string* why) {
  *why = KeTlsUnavailableReason();
  return nullptr;
}
std::shared_ptr<boost::asio::ssl::context> MakeKeClientTls(const std::string&, bool, std::string* why) {
  *why = KeTlsUnavailableReason();
  return nullptr;
}
std::shared_ptr<boost::asio::ssl::context> SharedKeClientTls(const std::string&, bool, std::string* why) {
  *why = KeTlsUnavailableReason();
  return nullptr;
}
uint64_t KeClientTlsContextsMade() { return 0; }
bool AgreedOnKe(ssl_st*) { return false; }
bool ExportSessionKeys(ssl_st*, AeadId, SessionKeys*) { return false; }
std::string KeTlsUnavailableReason() { return "NTS is not available in the Windows build"; }

}  // namespace mdl::nts
