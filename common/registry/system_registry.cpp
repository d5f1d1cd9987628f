// Linux has no system registry: the settings live in the folder's file store.
#include "common/registry/system_registry.h"

namespace mdl {

std::unique_ptr<SystemRegistry> OpenSystemRegistry() { return nullptr; }

std::filesystem::path DefaultStoreFile(const std::filesystem::path& home) { return home / "registry.reg"; }

}  // namespace mdl
