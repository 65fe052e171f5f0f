#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "amd/amd.h"
#include "intel/loader_layout.h"

namespace tarnwick {

// Where distributions' intel-microcode and amd64-microcode packages keep
// the loader's files.
inline constexpr const char* default_reference_directory = "/lib/firmware/intel-ucode";
inline constexpr const char* default_amd_reference_directory = "/lib/firmware/amd-ucode";

struct Reference {
    std::vector<LayoutUpdate> intel;
    std::vector<AmdKnown> amd;
};

// Which vendors' microcode a reference directory is read for.
enum class Vendors { intel, amd, both };

// The intact Intel updates and AMD patches (as `vendors` asks) of every
// regular file directly in `directory`, each Intel container read as the
// loader reads one. Nothing when the directory can't be opened; files that
// can't be read are passed over.
std::optional<Reference> read_reference(const std::string& directory, Vendors vendors);

}  // namespace tarnwick
