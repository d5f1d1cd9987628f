// The event log source of a service program: the registry key through which
// the Event Viewer finds the program's message table (event_messages.mc),
// written at -install and removed at -uninstall.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace mdl::service {

// SYSTEM\CurrentControlSet\Services\EventLog\Application\<source> under
// HKEY_LOCAL_MACHINE.
std::wstring EventSourceKey(std::string_view source);

// Registers `source` (the name the program logs under) with `program` as its
// message and category file: one category, the error, warning and
// information types. Returns "" when done, else why not.
std::string AddEventSource(std::string_view source, const std::filesystem::path& program);

// Removes the source's key; "" when done or when there was none.
std::string RemoveEventSource(std::string_view source);

}  // namespace mdl::service
