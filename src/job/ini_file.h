#pragma once

// INI text read and written the way the Windows profile functions do it.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace bxfr::job {

// An INI text that reads and writes like the Windows profile functions: section and key
// names match without regard to case, existing keys are replaced in place, new keys go to
// the end of their section and new sections to the end of the file, comments and unknown
// keys stay. Text is UTF-8 inside; a file that is not UTF-8 is read as Windows-1252 and
// written back that way where every character fits. Lines are written with CRLF.
class IniFile {
public:
    enum class ReadResult { Ok, Missing, Unreadable, TooLarge };

    static constexpr std::size_t kMaxFileBytes = 16u << 20;
    static constexpr std::size_t kMaxLineBytes = 64u << 10;

    ReadResult Read(const std::string& path);
    void Parse(const std::string& bytes);

    // The value trimmed of blanks and of one pair of matching quotes, cut to `maxLength` bytes.
    std::optional<std::string> Get(const std::string& section, const std::string& key,
                                   std::size_t maxLength = 1023) const;
    std::string GetString(const std::string& section, const std::string& key,
                          std::size_t maxLength = 1023) const;
    // The value as the bytes the file holds (Windows-1252 stays Windows-1252): a password
    // must reach the server exactly as it was written.
    std::optional<std::string> GetBytes(const std::string& section, const std::string& key,
                                        std::size_t maxLength = 1023) const;
    // The leading decimal number of the value; `fallback` when the key is missing.
    int GetInt(const std::string& section, const std::string& key, int fallback) const;

    void Set(const std::string& section, const std::string& key, const std::string& value);
    // Writes the file back as Windows-1252 where every character fits, as a file read that
    // way would be.
    void WriteAsWindows1252() { cp1252_ = true; }
    void RemoveSection(const std::string& section);

    std::string Serialize() const;
    // Writes to a temporary file beside `path` and renames it over `path`, so the old file
    // survives any failure. `ownerOnly` creates the file readable by its owner alone.
    bool WriteAtomically(const std::string& path, bool ownerOnly) const;

private:
    std::vector<std::string> lines_;
    bool cp1252_ = false;
    bool bom_ = false;

    // Index of the section's header line, or lines_.size().
    std::size_t FindSection(const std::string& section) const;
    std::size_t SectionEnd(std::size_t header) const;
};

}  // namespace bxfr::job
