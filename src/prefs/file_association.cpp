// The ".bxt" file association: the desktop entry, MIME package and icons on Linux, the classes key
// on Windows.

#include "prefs/file_association.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <system_error>

// kDesktopEntry, kMimePackage, kProgramIcon and kTransferIcon: the files of data/, built in.
#include "file_association_data.inc"
#include "job/atomic_file.h"
#include "job/text_encoding.h"

#if defined(_WIN32)
// windows.h first: shlobj.h needs its types.
#include <windows.h>

#include <shlobj.h>

#include <QSettings>
#include <QString>
#elif defined(__unix__)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <QXmlStreamReader>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

extern char** environ;
#endif

namespace bxfr::prefs {

namespace fs = std::filesystem;

std::string QuoteExecArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        // Inside double quotes these four keep their meaning unless escaped.
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    // The entry's string escapes are undone before the quoting, so backslashes double again.
    std::string value;
    for (const char c : quoted) {
        if (c == '\\') {
            value += "\\\\";
        } else if (c == '%') {
            value += "%%";
        } else {
            value += c;
        }
    }
    return value;
}

fs::path UserDataHome() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    // A relative XDG_DATA_HOME is invalid and must be ignored.
    if (dataHome != nullptr && fs::path(dataHome).is_absolute()) return fs::path(dataHome);
    const char* home = std::getenv("HOME");
    if (home != nullptr && fs::path(home).is_absolute()) return fs::path(home) / ".local" / "share";
    return {};
}

#if defined(_WIN32)

namespace {

const QString kProgId = QStringLiteral("BXFR.XferFile");
const QString kDescription = QStringLiteral("Brindle FTP Wizard Transfer File");

}  // namespace

AssociationResult RegisterFileAssociation(const fs::path& program) noexcept {
    try {
        // Read through the merged view so that a machine-wide owner counts too; write per user.
        const QSettings merged(QStringLiteral("HKEY_CLASSES_ROOT"), QSettings::NativeFormat);
        QSettings classes(QStringLiteral("HKEY_CURRENT_USER\\Software\\Classes"), QSettings::NativeFormat);
        const QString owner = merged.value(QStringLiteral(".bxt/Default")).toString().left(40);
        if (!owner.isEmpty() && owner != kProgId) return AssociationResult::OwnedElsewhere;

        bool changed = false;
        const auto put = [&](const QString& key, const QString& value) {
            if (classes.value(key).toString() == value) return;
            classes.setValue(key, value);
            changed = true;
        };
        put(QStringLiteral(".bxt/Default"), kProgId);
        put(QStringLiteral(".bxt/InfoTip"), kDescription);
        put(kProgId + QStringLiteral("/Default"), kDescription);

        const QString quoted = QLatin1Char('"') +
                               QString::fromStdWString(fs::absolute(program).make_preferred().wstring()) +
                               QLatin1Char('"');
        put(kProgId + QStringLiteral("/DefaultIcon/Default"), quoted + QStringLiteral(",-136"));
        put(kProgId + QStringLiteral("/shell/Default"), QStringLiteral("Open"));
        struct Verb {
            const char* key;
            const char* label;
            const char* suffix;
        };
        for (const Verb& verb : {Verb{"Open", "&Open", ""}, Verb{"Transfer Now", "&Transfer Now", " /t"},
                                 Verb{"Edit", "&Edit", " /e"}}) {
            const QString base = kProgId + QStringLiteral("/shell/") + QString::fromLatin1(verb.key);
            put(base + QStringLiteral("/Default"), QString::fromLatin1(verb.label));
            put(base + QStringLiteral("/command/Default"),
                quoted + QStringLiteral(" %1") + QString::fromLatin1(verb.suffix));  // %1: the shell's file
        }
        classes.sync();
        if (classes.status() != QSettings::NoError) return AssociationResult::Failed;
        if (!changed) return AssociationResult::Unchanged;
        SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
        return AssociationResult::Written;
    } catch (...) {
        return AssociationResult::Failed;
    }
}

void RegisterFileAssociation() noexcept {
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
    if (length == 0 || length >= std::size(buffer)) return;
    RegisterFileAssociation(fs::path(std::wstring(buffer, length)));
}

#elif defined(__unix__)

namespace {

constexpr std::string_view kMimeType = "application/x-bxfr-transfer";
constexpr std::string_view kProgramName = "bxfr-wizard";
// Anything bigger is not one of ours and not worth reading at every start.
constexpr std::uintmax_t kMaxCompared = 1u << 20;
constexpr std::uintmax_t kMaxPackageScanned = 64u << 20;

std::optional<std::string> ReadSmallFile(const fs::path& path, std::uintmax_t limit) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec || size > limit) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

// The installed entry with the program's own path in every Exec line; nothing when the path
// cannot be put into an entry (control characters, not UTF-8).
std::optional<std::string> DesktopEntryFor(const fs::path& program) {
    const std::string path = program.string();
    if (!job::IsValidUtf8(path)) return std::nullopt;
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
    }
    const std::string exec = "Exec=" + QuoteExecArgument(path);
    const std::string installed = "Exec=" + std::string(kProgramName);
    std::string entry;
    std::string_view rest = shell_files::kDesktopEntry;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end == std::string_view::npos ? rest.size() : end + 1);
        rest.remove_prefix(line.size());
        if (line.starts_with(installed) && line.size() > installed.size() &&
            (line[installed.size()] == ' ' || line[installed.size()] == '\n')) {
            entry += exec;
            line.remove_prefix(installed.size());
        }
        entry += line;
    }
    return entry;
}

bool ContainsNoCase(std::string_view text, std::string_view lowerNeedle) {
    const auto it =
        std::search(text.begin(), text.end(), lowerNeedle.begin(), lowerNeedle.end(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
    return it != text.end();
}

// The system data folders of XDG_DATA_DIRS, or its documented default.
std::vector<fs::path> SystemDataDirs() {
    const char* value = std::getenv("XDG_DATA_DIRS");
    std::string_view dirs = value != nullptr && *value != '\0' ? value : "/usr/local/share/:/usr/share/";
    std::vector<fs::path> result;
    while (true) {
        const auto colon = dirs.find(':');
        const fs::path dir(dirs.substr(0, colon));
        if (dir.is_absolute()) result.push_back(dir);
        if (colon == std::string_view::npos) break;
        dirs.remove_prefix(colon + 1);
    }
    return result;
}

// True when a MIME package in the folder gives "*.bxt" to a type other than ours: the
// extension belongs to another program then.
bool GlobClaimedElsewhere(const fs::path& packages) {
    std::error_code ec;
    for (fs::directory_iterator it(packages, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& file = it->path();
        if (file.extension() != ".xml") continue;
        const auto bytes = ReadSmallFile(file, kMaxPackageScanned);
        if (!bytes) continue;
        // The big system packages rarely mention the extension at all; skip parsing them.
        if (!ContainsNoCase(*bytes, "bxt")) continue;
        QXmlStreamReader reader(
            QByteArray::fromRawData(bytes->data(), static_cast<qsizetype>(bytes->size())));
        QString type;
        while (!reader.atEnd()) {
            reader.readNext();
            if (reader.isStartElement()) {
                if (reader.name() == QLatin1String("mime-type")) {
                    type = reader.attributes().value(QLatin1String("type")).toString();
                } else if (reader.name() == QLatin1String("glob") && !type.isEmpty()) {
                    const auto pattern = reader.attributes().value(QLatin1String("pattern"));
                    if (pattern.compare(QLatin1String("*.bxt"), Qt::CaseInsensitive) == 0 &&
                        type != QLatin1String(kMimeType.data(), static_cast<qsizetype>(kMimeType.size()))) {
                        return true;
                    }
                }
            } else if (reader.isEndElement() && reader.name() == QLatin1String("mime-type")) {
                type.clear();
            }
        }
    }
    return false;
}

enum class WriteOutcome { Same, Written, Failed };

// Leaves a file with the same bytes alone, so its time stamp says when it last changed; else
// replaces it in one rename, so the shell never reads half an entry.
WriteOutcome WriteIfDifferent(const fs::path& target, std::string_view content) {
    if (const auto existing = ReadSmallFile(target, kMaxCompared); existing && *existing == content) {
        return WriteOutcome::Same;
    }
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec) return WriteOutcome::Failed;
    if (!job::WriteFileAtomically(target, content, false)) return WriteOutcome::Failed;
    return WriteOutcome::Written;
}

// A cache older than its source, or none at all, needs the tool run again.
bool CacheIsStale(const fs::path& cache, const fs::path& source) {
    std::error_code ec;
    const auto cacheTime = fs::last_write_time(cache, ec);
    if (ec) return true;
    const auto sourceTime = fs::last_write_time(source, ec);
    return !ec && cacheTime < sourceTime;
}

// Runs a tool found on PATH without a shell and without output, and waits for it; a missing
// tool, a failure or a hang (killed after half a minute) is simply ignored.
void RunQuietly(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return;
    }
    // The GUI's threads may block signals; the tool should start with none blocked.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) return;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

AssociationResult Register(const fs::path& givenProgram) {
    const fs::path data = UserDataHome();
    if (data.empty()) return AssociationResult::Failed;

    std::error_code ec;
    fs::path program = fs::absolute(givenProgram, ec);
    if (ec) return AssociationResult::Failed;
    program = program.lexically_normal();
    const auto entry = DesktopEntryFor(program);
    if (!entry) return AssociationResult::Failed;

    if (GlobClaimedElsewhere(data / "mime" / "packages")) return AssociationResult::OwnedElsewhere;
    for (const auto& dir : SystemDataDirs()) {
        if (GlobClaimedElsewhere(dir / "mime" / "packages")) return AssociationResult::OwnedElsewhere;
    }

    const fs::path icons = data / "icons" / "hicolor" / "scalable";
    const fs::path mimePackage = data / "mime" / "packages" / "bxfr-transfer.xml";
    const fs::path desktopEntry = data / "applications" / "bxfr-wizard.desktop";
    // The entry goes last, so that it never shows up before its icon and type.
    const WriteOutcome outcomes[] = {
        WriteIfDifferent(icons / "apps" / "bxfr-wizard.svg", shell_files::kProgramIcon),
        WriteIfDifferent(icons / "mimetypes" / "application-x-bxfr-transfer.svg", shell_files::kTransferIcon),
        WriteIfDifferent(mimePackage, shell_files::kMimePackage),
        WriteIfDifferent(desktopEntry, *entry),
    };
    const WriteOutcome mimeOutcome = outcomes[2];
    const WriteOutcome entryOutcome = outcomes[3];

    if (mimeOutcome != WriteOutcome::Failed && CacheIsStale(data / "mime" / "mime.cache", mimePackage)) {
        RunQuietly({"update-mime-database", (data / "mime").string()});
    }
    if (entryOutcome != WriteOutcome::Failed &&
        CacheIsStale(data / "applications" / "mimeinfo.cache", desktopEntry)) {
        RunQuietly({"update-desktop-database", (data / "applications").string()});
    }

    bool written = false;
    for (const WriteOutcome outcome : outcomes) {
        if (outcome == WriteOutcome::Failed) return AssociationResult::Failed;
        written = written || outcome == WriteOutcome::Written;
    }
    return written ? AssociationResult::Written : AssociationResult::Unchanged;
}

}  // namespace

AssociationResult RegisterFileAssociation(const fs::path& program) noexcept {
    try {
        return Register(program);
    } catch (...) {
        return AssociationResult::Failed;
    }
}

void RegisterFileAssociation() noexcept {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return;
    RegisterFileAssociation(self);
}

#else

AssociationResult RegisterFileAssociation(const fs::path&) noexcept { return AssociationResult::Failed; }

void RegisterFileAssociation() noexcept {}

#endif

}  // namespace bxfr::prefs
