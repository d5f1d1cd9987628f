// The system's side of the single-instance lock: opening the lock file with
// the program folder's refusals, the lock itself and the holder's process id
// (instance_lock_system*.cpp, one per platform). The descriptor is the
// platform's handle, stored as an int.
#pragma once

#include <filesystem>
#include <string>

namespace mdl::service::lock_system {

// Opens (creating when missing) the lock file: never a link, nor a file with
// a second name; -1 with *error set when refused or failed.
int Open(const std::filesystem::path& lock_file, std::string* error);

enum class Try { kHeld, kBusy, kFailed };
// Takes the exclusive lock without waiting; kFailed: *error says why.
Try TryLock(int fd, std::string* error);

// Writes this process's id into the held lock file, for a second invocation
// that signals it. The lock holds all the same when it cannot be written.
void WriteHolder(int fd);

// Closing drops the lock.
void Close(int fd);

}  // namespace mdl::service::lock_system
