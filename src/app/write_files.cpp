#include "app/write_files.h"

#include <cstdint>
#include <filesystem>
#include <system_error>

#include "app/load_image.h"
#include "app/platform.h"
#include "commands/file.h"

namespace tarnwick {

namespace {

namespace fs = std::filesystem;

// What one call has made so far, removed again unless the call succeeds.
class Made {
public:
    ~Made() {
        if (kept_) {
            return;
        }
        std::error_code ignored;
        for (const std::string& f : files_) {
            fs::remove(f, ignored);
        }
        if (!directory_.empty()) {
            fs::remove(directory_, ignored);
        }
    }
    void directory(const std::string& d) { directory_ = d; }
    void file(const std::string& f) { files_.push_back(f); }
    void forget(const std::string& f) { std::erase(files_, f); }
    void keep() { kept_ = true; }

private:
    std::string directory_;
    std::vector<std::string> files_;
    bool kept_ = false;
};

// Writes `file` under a new name of its own in `directory`; returns that
// name, or nothing with errno set.
std::optional<std::string> write_temporary(const std::string& directory, const OutputFile& file, Made& made) {
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = directory + "/." + file.name + ".tarnwick-" + std::to_string(attempt);
        std::FILE* f = platform::create_new_file(temp);
        if (f == nullptr) {
            if (errno == EEXIST) {
                continue;
            }
            return std::nullopt;
        }
        made.file(temp);
        bool ok = true;
        for (const Image& piece : file.pieces) {
            ok = ok && std::fwrite(piece.data(), 1, piece.size(), f) == piece.size();
        }
        const int saved = errno;
        const bool closed = platform::close_written(f);
        if (!ok) {
            errno = saved;
        }
        return ok && closed ? std::optional<std::string>(temp) : std::nullopt;
    }
    errno = EEXIST;
    return std::nullopt;
}

}  // namespace

DirectoryWriter::DirectoryWriter(std::string directory) : directory_(std::move(directory)) {
    // "ucode/" names the same directory as "ucode"; file names are joined
    // to it with one separator.
    while (directory_.size() > 1 && (directory_.back() == '/' || directory_.back() == '\\')) {
        directory_.pop_back();
    }
}

std::optional<std::string> DirectoryWriter::write_all(const std::vector<OutputFile>& files) {
    Made made;
    std::error_code ec;
    const fs::file_status status = fs::status(directory_, ec);
    if (status.type() == fs::file_type::not_found) {
        if (!fs::create_directory(directory_, ec)) {
            return "Can't create directory " + directory_ + ": " + ec.message();
        }
        made.directory(directory_);
    } else if (status.type() != fs::file_type::directory) {
        return directory_ + " is not a directory; nothing was written";
    }

    for (const OutputFile& f : files) {
        const std::string target = directory_ + "/" + f.name;
        const fs::file_status target_status = fs::symlink_status(target, ec);
        if (target_status.type() == fs::file_type::not_found) {
            continue;
        }
        if (ec) {
            return "Can't write " + target + ": " + ec.message() + "; nothing was written";
        }
        return target + " exists already; nothing was written";
    }
    // Every file whole under its temporary name and on the device before
    // any final name points at it, so that not even a power failure leaves
    // a final name with less than all of its bytes. That flush is most of
    // what -extract costs; cp, which makes no such promise, skips it.
    std::vector<std::string> temps;
    for (const OutputFile& f : files) {
        const std::optional<std::string> temp = write_temporary(directory_, f, made);
        if (!temp) {
            return "Can't write " + directory_ + "/" + f.name + ": " + platform::last_error() + "; nothing was kept";
        }
        temps.push_back(*temp);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string target = directory_ + "/" + files[i].name;
        if (!platform::rename_no_replace(temps[i], target)) {
            return "Can't write " + target + ": " + platform::last_error() + "; nothing was kept";
        }
        made.forget(temps[i]);
        made.file(target);
    }
    if (!platform::sync_directory(directory_)) {
        return "Can't write " + directory_ + ": " + platform::last_error() + "; nothing was kept";
    }
    made.keep();
    return std::nullopt;
}

bool NewFileWriter::taken() const {
    std::error_code ec;
    return fs::symlink_status(path_, ec).type() != fs::file_type::not_found;
}

namespace {

// The whole of a file just written, as it reads back: mapped where the
// system maps files, else read into `buffer`.
std::optional<Image> read_back(const std::string& path, platform::Mapping& mapping, std::vector<std::uint8_t>& buffer) {
    {
        const File file(platform::open_for_reading(path.c_str()));
        const std::optional<std::uint64_t> length = file ? platform::measure(file.get()) : std::nullopt;
        if (file && length && *length != 0 && *length <= SIZE_MAX / 2) {
            mapping = platform::map_file(file.get(), static_cast<std::size_t>(*length));
        }
        if (mapping) {
            return Image(mapping.data(), mapping.size());
        }
    }
    std::optional<std::vector<std::uint8_t>> bytes = read_whole_file(path);
    if (!bytes) {
        return std::nullopt;
    }
    buffer = std::move(*bytes);
    return Image(buffer);
}

}  // namespace

ImageSink::Outcome NewFileWriter::write(std::span<const Image> pieces, const Check& check) {
    using Kind = Outcome::Kind;
    Made made;
    if (taken()) {
        return {Kind::failed, path_ + " exists already; nothing was written"};
    }
    const fs::path target(path_);
    const std::string directory = target.has_parent_path() ? target.parent_path().string() : ".";
    const OutputFile file{target.filename().string(), std::vector<Image>(pieces.begin(), pieces.end())};
    const std::optional<std::string> temp = write_temporary(directory, file, made);
    if (!temp) {
        return {Kind::failed, "Can't write " + path_ + ": " + platform::last_error() + "; nothing was written"};
    }
    {
        platform::Mapping mapping;
        std::vector<std::uint8_t> buffer;
        const std::optional<Image> written = read_back(*temp, mapping, buffer);
        if (!written) {
            return {Kind::failed, "Can't read back " + *temp + ": " + platform::last_error() + "; nothing was written"};
        }
        if (std::optional<std::string> failed = check(*written)) {
            return {Kind::check_failed, std::move(*failed)};
        }
    }
    if (!platform::rename_no_replace(*temp, path_)) {
        return {Kind::failed, "Can't write " + path_ + ": " + platform::last_error() + "; nothing was written"};
    }
    made.forget(*temp);
    made.file(path_);
    if (!platform::sync_directory(directory)) {
        return {Kind::failed, "Can't write " + path_ + ": " + platform::last_error() + "; nothing was written"};
    }
    made.keep();
    return {};
}

}  // namespace tarnwick
