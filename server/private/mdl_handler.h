// The private protocol's responder.
#pragma once

#include <memory>

#include "server/serving/serving.h"

namespace mdl {

std::unique_ptr<ServiceHandler> MakePrivateHandler(ServingContext& context);

}  // namespace mdl
