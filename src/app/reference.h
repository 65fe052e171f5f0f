#pragma once

#include <optional>
#include <string>
#include <vector>

#include "search/loader_layout.h"

namespace tarnwick {

// Where distributions' intel-microcode packages keep the loader's files.
inline constexpr const char* default_reference_directory = "/lib/firmware/intel-ucode";

// The intact updates of every regular file directly in `directory`, each
// file read as a container, as the loader reads one. Nothing when the
// directory can't be opened; files that can't be read are passed over.
std::optional<std::vector<LayoutUpdate>> read_reference(const std::string& directory);

}  // namespace tarnwick
