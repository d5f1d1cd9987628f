// UTF-8 (the engine's and the view model's texts) to the UTF-16 of the
// Windows API and back. Invalid sequences become U+FFFD, never an error.
#pragma once

#include <string>
#include <string_view>

namespace mdl::win32 {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// For multi-line edit controls, which break lines at CR LF only: every LF
// not already after a CR gets one.
std::wstring WidenLines(std::string_view utf8);

}  // namespace mdl::win32
