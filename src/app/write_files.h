#pragma once

#include <optional>
#include <string>
#include <vector>

#include "commands/commands.h"

namespace tarnwick {

// Writes files into one directory, all or nothing: the directory is made
// when it is missing (its parent must exist), nothing that exists there is
// ever changed, each file is written under a temporary name and moved into
// place, and a failure removes everything the call made.
class DirectoryWriter : public FileSink {
public:
    explicit DirectoryWriter(std::string directory);
    std::optional<std::string> write_all(const std::vector<OutputFile>& files) override;

private:
    std::string directory_;
};

// Writes one new file at `path`: never over anything that exists there,
// under a temporary name beside it first, on the device before its name
// points at it, and nothing left behind on failure.
class NewFileWriter : public ImageSink {
public:
    explicit NewFileWriter(std::string path) : path_(std::move(path)) {}
    Outcome write(std::span<const Image> pieces, const Check& check) override;
    // Says whether something has that name already.
    bool taken() const;

private:
    std::string path_;
};

}  // namespace tarnwick
