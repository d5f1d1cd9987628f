// The start-with-the-session hook both desktop programs call when their
// "Run ... when Windows Starts." box is clicked, and what its outcome shows.
#pragma once

#include <functional>
#include <string>

namespace mdl::desktop {

// Writes (on) or removes (off) the program's autostart entry (the Run value on
// Windows, the XDG entry on Linux); returns an error text, empty on success.
using AutostartHook = std::function<std::string(bool on)>;

// Runs `hook` (when there is one) and returns the text shown below the box:
// "Autostart entry: <error>", empty when it succeeded or there is no hook.
std::string ApplyAutostart(const AutostartHook& hook, bool on);

}  // namespace mdl::desktop
