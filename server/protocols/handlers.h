// The responders of the four standard services.
#pragma once

#include <memory>

#include "server/serving/serving.h"

namespace mdl {

std::unique_ptr<ServiceHandler> MakeTimeHandler(ServingContext& context);
std::unique_ptr<ServiceHandler> MakeDaytimeHandler(ServingContext& context);
// The NTP socket's datagrams go to the context's tap of Service::kNtp first.
std::unique_ptr<ServiceHandler> MakeNtpHandler(ServingContext& context);
std::unique_ptr<ServiceHandler> MakeUnixTimeHandler(ServingContext& context);

}  // namespace mdl
