// The archive attribute on Linux: the size and time of the last send in an extended attribute.

#include "engine/archive_attribute.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <string>

#include "engine/connection.h"

namespace bxfr::engine {
namespace {

constexpr const char* kRecordName = "user.bxfr.archived";

bool RefusesAttributes(int error) { return error == ENOTSUP || error == EOPNOTSUPP || error == EPERM; }

std::string RecordFor(const struct stat& status) {
    return std::to_string(static_cast<unsigned long long>(status.st_size)) + ":" +
           std::to_string(static_cast<long long>(status.st_mtim.tv_sec)) + "." +
           std::to_string(static_cast<long long>(status.st_mtim.tv_nsec));
}

}  // namespace

ArchiveState ArchiveStateOf(const std::filesystem::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return ArchiveState::Set;
    }
    char buffer[128];
    const ssize_t length = ::getxattr(file.c_str(), kRecordName, buffer, sizeof buffer);
    if (length < 0) {
        return RefusesAttributes(errno) ? ArchiveState::Unsupported : ArchiveState::Set;
    }
    return std::string(buffer, static_cast<std::size_t>(length)) == RecordFor(status) ? ArchiveState::Clear
                                                                                      : ArchiveState::Set;
}

bool ClearArchiveAttribute(const std::filesystem::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        throw FileError(static_cast<std::uint32_t>(errno), file.string());
    }
    const std::string record = RecordFor(status);
    // Writing an extended attribute changes only the file's status time, never its modification time.
    if (::setxattr(file.c_str(), kRecordName, record.data(), record.size(), 0) != 0) {
        if (RefusesAttributes(errno)) {
            return false;
        }
        throw FileError(static_cast<std::uint32_t>(errno), file.string());
    }
    return true;
}

}  // namespace bxfr::engine
