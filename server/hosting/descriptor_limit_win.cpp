// Windows has no descriptor limit on sockets to raise.
#include "server/hosting/descriptor_limit.h"

namespace mdl::service {

DescriptorLimit RaiseDescriptorLimit() { return DescriptorLimit{UINT64_MAX, UINT64_MAX, true}; }

}  // namespace mdl::service
