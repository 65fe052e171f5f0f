#pragma once

#include <iosfwd>
#include <string_view>

#include "commands/status.h"
#include "search/bytes.h"

namespace tarnwick {

// Each command reads the image, prints its findings to `out` and returns the
// status that becomes the exit code.
ExitStatus run_check(Image image, std::ostream& out);
ExitStatus run_info(Image image, std::ostream& out);
ExitStatus run_fit(Image image, std::ostream& out);
ExitStatus run_verify(Image image, std::ostream& out);
ExitStatus run_fitcheck(Image image, std::ostream& out);

// One line of JSON with everything the commands know about `image`, read
// from `path`; or, for a file that could not be loaded, its load message.
void write_json(const char* path, Image image, std::ostream& out);
void write_json_error(const char* path, std::string_view message, std::ostream& out);

// Looks up the image's updates in "ZOR.dat" in the working directory.
ExitStatus run_scan(Image image, std::ostream& out);
// The same against a database at another path.
ExitStatus run_scan_with_database(Image image, const char* database_path, std::ostream& out);

}  // namespace tarnwick
