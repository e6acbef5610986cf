// The freedesktop.org trash: each removed file goes to files/ beside an info/*.trashinfo record of
// where it was and when, so that the desktop's file manager can put it back.

#include "engine/local_trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <system_error>

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;

std::optional<dev_t> DeviceOf(const fs::path& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return std::nullopt;
    return info.st_dev;
}

// The nearest folder at or above `path` that exists.
fs::path Existing(fs::path path) {
    std::error_code error;
    while (!path.empty() && !fs::exists(path, error) && path != path.parent_path()) path = path.parent_path();
    return path;
}

fs::path HomeTrash() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') return fs::path(data) / "Trash";
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return {};
    return fs::path(home) / ".local" / "share" / "Trash";
}

// The mount point the file is on: the last folder upwards on the same device.
fs::path TopDir(const fs::path& file, dev_t device) {
    fs::path top = file.parent_path();
    while (top != top.parent_path()) {
        const auto up = DeviceOf(top.parent_path());
        if (!up || *up != device) break;
        top = top.parent_path();
    }
    return top;
}

// $topdir/.Trash/$uid where the administrator made .Trash (sticky, not a link), else .Trash-$uid.
fs::path TopDirTrash(const fs::path& top) {
    const std::string uid = std::to_string(getuid());
    struct stat shared {};
    if (lstat((top / ".Trash").c_str(), &shared) == 0 && S_ISDIR(shared.st_mode) &&
        (shared.st_mode & S_ISVTX)) {
        return top / ".Trash" / uid;
    }
    return top / (".Trash-" + uid);
}

std::string Escaped(const std::string& path) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-_.~!*'()", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool Prepare(const fs::path& trash) {
    std::error_code error;
    fs::create_directories(trash / "files", error);
    fs::create_directories(trash / "info", error);
    fs::permissions(trash, fs::perms::owner_all, error);
    // A trash that is a link could send the file anywhere.
    return fs::is_directory(trash / "files") && fs::is_directory(trash / "info") && !fs::is_symlink(trash);
}

}  // namespace

bool MoveToTrash(const fs::path& file, std::string& why) {
    const auto device = DeviceOf(file);
    if (!device) {
        why = std::string("it cannot be found (") + std::strerror(errno) + ")";
        return false;
    }
    fs::path trash = HomeTrash();
    fs::path recorded = file;
    const auto homeDevice = trash.empty() ? std::nullopt : DeviceOf(Existing(trash));
    if (!homeDevice || *homeDevice != *device) {
        const fs::path top = TopDir(file, *device);
        trash = TopDirTrash(top);
        // The trash of another file system records paths from its top.
        recorded = file.lexically_relative(top);
    }
    if (!Prepare(trash)) {
        why = "no trash can be used at " + trash.string();
        return false;
    }
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    const std::string info =
        "[Trash Info]\nPath=" + Escaped(recorded.string()) + "\nDeletionDate=" + stamp + "\n";
    const std::string name = file.filename().string();
    for (int n = 1; n < 10000; ++n) {
        const std::string entry = n == 1 ? name : name + "." + std::to_string(n);
        const fs::path record = trash / "info" / (entry + ".trashinfo");
        // The record claims the name first, so two removals never take the same one.
        const int fd = open(record.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            why = "the trash record cannot be written (" + std::string(std::strerror(errno)) + ")";
            return false;
        }
        const bool written = write(fd, info.data(), info.size()) == static_cast<ssize_t>(info.size());
        close(fd);
        if (written && std::rename(file.c_str(), (trash / "files" / entry).c_str()) == 0) return true;
        why = "it cannot be moved to the trash (" + std::string(std::strerror(errno)) + ")";
        unlink(record.c_str());
        return false;
    }
    why = "the trash holds too many files of that name";
    return false;
}

}  // namespace bxfr::engine
