#pragma once

#include <cstdio>
#include <memory>

namespace tarnwick {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
// An open stdio file, closed when it goes out of scope.
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace tarnwick
