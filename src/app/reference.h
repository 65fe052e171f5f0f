#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "amd/amd.h"

namespace tarnwick {

// Where distributions' intel-microcode and amd64-microcode packages keep
// the loader's files.
inline constexpr const char* default_reference_directory = "/lib/firmware/intel-ucode";
inline constexpr const char* default_amd_reference_directory = "/lib/firmware/amd-ucode";

// The intact AMD patches of every regular file directly in `directory`.
// Nothing when the directory can't be opened; files that can't be read are
// passed over. (Intel updates are read headers first: HeaderFirstSource.)
std::optional<std::vector<AmdKnown>> read_amd_reference(const std::string& directory);

}  // namespace tarnwick
