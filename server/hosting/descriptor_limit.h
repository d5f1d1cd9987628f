// The descriptor soft limit raised to the hard limit: every open connection
// is a descriptor, and the usual soft limit of 1024 is below the services'
// connection caps.
#pragma once

#include <cstdint>

namespace mdl::service {

struct DescriptorLimit {
  uint64_t before = 0;  // soft limit found
  uint64_t after = 0;   // soft limit now (the hard limit when it could be raised)
  bool ok = false;      // the limits could be read and, where needed, set
};

DescriptorLimit RaiseDescriptorLimit();

}  // namespace mdl::service
