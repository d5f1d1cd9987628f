// RLIMIT_NOFILE soft limit up to the hard limit.
#include "server/hosting/descriptor_limit.h"

#include <sys/resource.h>

namespace mdl::service {

DescriptorLimit RaiseDescriptorLimit() {
  DescriptorLimit result;
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return result;
  result.before = result.after = files.rlim_cur;
  if (files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &files) != 0) return result;
    result.after = files.rlim_cur;
  }
  result.ok = true;
  return result;
}

}  // namespace mdl::service
