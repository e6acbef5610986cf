// Replacing a file in one rename: a temporary beside it, its mode, and links followed.

#include "job/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace bxfr::job {

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes, bool ownerOnly) {
    std::filesystem::path target(path);
    // Renaming over a link would replace the link; write the file it points to instead.
    std::error_code linkError;
    if (std::filesystem::is_symlink(target, linkError)) {
        std::filesystem::path resolved = std::filesystem::weakly_canonical(target, linkError);
        if (!linkError) target = resolved;
    }
    const std::string finalPath = target.string();
    std::filesystem::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
#ifndef _WIN32
    std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    int fd = mkstemp(pattern.data());
    if (fd < 0) return false;
    mode_t mode = 0600;
    struct stat old {};
    if (!ownerOnly) {
        if (stat(finalPath.c_str(), &old) == 0) {
            mode = old.st_mode & 07777;
        } else {
            mode_t mask = umask(0);
            umask(mask);
            mode = 0666 & ~mask;
        }
    }
    bool ok = fchmod(fd, mode) == 0;
    std::size_t written = 0;
    while (ok && written < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) written += static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok) ok = rename(pattern.c_str(), finalPath.c_str()) == 0;
    if (!ok) unlink(pattern.c_str());
    return ok;
#else
    (void)ownerOnly;
    std::filesystem::path temp = folder / ("~" + target.filename().string() + ".tmp");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(temp, ec);
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, target, ec);
    if (ec) std::filesystem::remove(temp, ec);
    return !ec;
#endif
}

}  // namespace bxfr::job
