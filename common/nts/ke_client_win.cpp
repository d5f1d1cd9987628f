// The Windows build has no NTS: every exchange fails at once, saying so.
#include "common/nts/ke_client.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

namespace mdl::nts {

void AsyncKeExchange(boost::asio::io_context& io, std::string, uint16_t, KeTrust, std::chrono::milliseconds,
                     std::function<void(KeOutcome)> done) {
  boost::asio::post(io, [done = std::move(done)] {
    KeOutcome out;
    out.error = "NTS is not available in the Windows build";
    done(std::move(out));
  });
}

}  // namespace mdl::nts
