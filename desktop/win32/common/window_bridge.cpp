// The posting side of the window bridges.
#include "desktop/win32/common/window_bridge.h"

namespace mdl::win32 {

void PostTarget::Attach(HWND window, UINT message, bool waiting) {
  if (detached_) return;
  window_ = window;
  message_ = message;
  posted_ = false;
  if (waiting) PostOnce();
}

void PostTarget::Detach() {
  detached_ = true;
  window_ = nullptr;
  posted_ = false;
}

bool PostTarget::PostOnce() {
  if (!window_) return false;
  if (posted_) return true;
  // A full message queue refuses the post; the next push tries again.
  posted_ = PostMessageW(window_, message_, 0, 0) != 0;
  return posted_;
}

}  // namespace mdl::win32
