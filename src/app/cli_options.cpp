// bxfr's command line: parsing the options and the usage text.

#include "app/cli_options.h"

#include <algorithm>
#include <string_view>

#include "job/protocol.h"

namespace bxfr::app {

namespace {

// "500K", "2M", "1G" or bytes, as curl takes --limit-rate, in whole KiB/s (at least 1 when set).
std::optional<std::int64_t> ParseRate(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && digits < 12 && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || text.size() > digits + 1) return std::nullopt;
    std::int64_t bytes = std::stoll(text.substr(0, digits));
    if (digits < text.size()) {
        const char unit = static_cast<char>(text[digits] | 0x20);
        const int shift = unit == 'k' ? 10 : unit == 'm' ? 20 : unit == 'g' ? 30 : -1;
        if (shift < 0 || bytes > (std::int64_t{1} << 40)) return std::nullopt;
        bytes <<= shift;
    }
    return bytes == 0 ? 0 : std::max<std::int64_t>(1, (bytes + 1023) / 1024);
}

// The value of "--name VALUE" or "--name=VALUE" when args[i] is that option, with `i` moved
// past a separate value; nothing for any other argument. A missing value reads as empty.
std::optional<std::string> OptionValue(const std::vector<std::string>& args, std::size_t& i,
                                       std::string_view name) {
    const std::string& arg = args[i];
    if (arg == name) {
        return i + 1 < args.size() ? args[++i] : std::string();
    }
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=') {
        return arg.substr(name.size() + 1);
    }
    return std::nullopt;
}

}  // namespace

std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args, std::string& error) {
    CliOptions options;
    bool onlyFiles = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!onlyFiles && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                onlyFiles = true;
            } else if (arg == "-h" || arg == "--help") {
                options.help = true;
            } else if (arg == "--version") {
                options.version = true;
            } else if (arg == "--password-stdin") {
                options.passwordStdin = true;
            } else if (arg == "-v" || arg == "--verbose") {
                options.verbose = true;
            } else if (arg == "-q" || arg == "--quiet") {
                options.quiet = true;
            } else if (arg == "-n" || arg == "--dry-run") {
                options.dryRun = true;
            } else if (arg == "--allow-mass-delete") {
                options.allowMassDelete = true;
            } else if (auto log = OptionValue(args, i, "--log")) {
                if (log->empty()) {
                    error = "option --log needs a file name";
                    return std::nullopt;
                }
                options.logPath = *log;
            } else if (auto value = OptionValue(args, i, "--connections")) {
                const bool digits = !value->empty() && value->size() <= 2 &&
                                    value->find_first_not_of("0123456789") == std::string::npos;
                const int count = digits ? std::stoi(*value) : 0;
                if (count < 1 || count > 10) {
                    error = "option --connections needs a number from 1 to 10";
                    return std::nullopt;
                }
                options.connections = count;
            } else if (auto rate = OptionValue(args, i, "--limit-rate")) {
                options.limitKiB = ParseRate(*rate);
                if (!options.limitKiB) {
                    error =
                        "option --limit-rate needs a speed in bytes per second, as 500K, 2M or 0 for none";
                    return std::nullopt;
                }
            } else if (auto trust = OptionValue(args, i, "--trust")) {
                if (trust->empty()) {
                    error = "option --trust needs a fingerprint (SHA256:...)";
                    return std::nullopt;
                }
                if (!job::IsFingerprint(*trust)) {
                    error = "option --trust needs a fingerprint of the form SHA256:...";
                    return std::nullopt;
                }
                options.trust = *trust;
            } else {
                error = "unknown option " + arg;
                return std::nullopt;
            }
            continue;
        }
        if (!options.transferFile.empty()) {
            error = "only one transfer file can be run at a time";
            return std::nullopt;
        }
        options.transferFile = arg;
    }
    if (options.transferFile.empty() && !options.help && !options.version) {
        error = "no transfer file given";
        return std::nullopt;
    }
    return options;
}

std::string UsageText() {
    return "Usage: bxfr [OPTIONS] FILE.bxt\n"
           "Runs the FTP or SFTP transfer that a Brindle FTP Wizard transfer file describes.\n"
           "\n"
           "Options:\n"
           "  --password-stdin  read the password (with KEYFILE: the key's passphrase) from the\n"
           "                    first line of standard input\n"
           "  --log FILE        append the transfer log to FILE (instead of the file's own log)\n"
           "  --connections N   move files on N simultaneous connections (1 to 10)\n"
           "  --limit-rate RATE  hold the whole transfer to RATE bytes per second, as 500K or\n"
           "                    2M (K = 1024); 0 = no limit\n"
           "  -n, --dry-run     log in, compare both sides and print what the transfer would send,\n"
           "                    get, skip and delete, and why; change nothing anywhere\n"
           "  --allow-mass-delete  let DELETE=1 remove more than half of the destination's files,\n"
           "                    or everything when the source is empty\n"
           "  --trust SHA256:...  accept the server's TLS certificate or SSH host key with this\n"
           "                    fingerprint for this run\n"
           "  -v, --verbose     report the server's replies too\n"
           "  -q, --quiet       print nothing but errors\n"
           "  -h, --help        show this help and end\n"
           "      --version     show the version and end\n"
           "\n"
           "On a terminal one status line shows the progress; otherwise every message of the\n"
           "transfer is printed on a line of its own. Ctrl-C asks the transfer to stop after the\n"
           "current step; a second Ctrl-C ends at once.\n"
           "\n"
           "Exit status:\n"
           "  0   the transfer completed\n"
           "  1   the transfer failed\n"
           "  2   the transfer was cancelled\n"
           "  3   the transfer file could not be loaded\n"
           "  64  usage error\n";
}

}  // namespace bxfr::app
