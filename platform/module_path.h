#pragma once
#include <string>

namespace tarvelo {
// The file of the shared object (or program) that holds `address`, as the loader mapped it;
// empty when it cannot be told.
std::string loaded_module_path(const void* address);
}  // namespace tarvelo
