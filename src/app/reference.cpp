#include "app/reference.h"

#include <filesystem>
#include <sstream>
#include <system_error>

#include "app/load_image.h"
#include "search/update_check.h"

namespace tarnwick {

std::optional<std::vector<LayoutUpdate>> read_reference(const std::string& directory) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    if (ec) {
        return std::nullopt;
    }
    std::vector<LayoutUpdate> updates;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code kind;
        if (!it->is_regular_file(kind)) {
            continue;
        }
        LoadedImage file;
        std::ostringstream unused;
        if (load_image(it->path().string().c_str(), file, unused) != ExitStatus::done) {
            continue;
        }
        for (const FoundUpdate& u : find_updates(file.view()).updates) {
            if (u.check.status == UpdateStatus::ok) {
                updates.push_back(layout_update(u));
            }
        }
    }
    if (ec) {
        return std::nullopt;
    }
    return updates;
}

}  // namespace tarnwick
