// Server commands: the connect, per-file and disconnect scripts and the permission rules.

#include "engine/server_commands.h"

#include "engine/error_texts.h"
#include "engine/run_context.h"
#include "engine/send_walk.h"

namespace bxfr::engine {

std::string FormatTranCommand(const std::string& command, const std::string& fileName) {
    std::string result;
    result.reserve(command.size() + fileName.size());
    for (std::size_t i = 0; i < command.size(); ++i) {
        if (command[i] == '%' && i + 1 < command.size() && command[i + 1] == 's') {
            result += fileName;
            ++i;
        } else {
            result += command[i];
        }
    }
    return result;
}

int TransferRun::SendCommand(const std::string& command, int expectResponse) {
    job_.ReportMessage(command);
    std::string data;
    const bool accepted = connection_->Command(command, expectResponse != 0, &data);
    if (!accepted) {
        ReportError(job_, connection_->LastError(), connection_->LastReply());
        return 0;
    }
    const ServerReply reply = connection_->LastReply();
    if (!reply.text.empty()) {
        job_.ReportMessage(reply.text);
    }
    if (expectResponse != 0) {
        job_.ReportMessage(data);
    }
    return 1;
}

int TransferRun::ApplyChmodRules(const std::string& remoteName) {
    for (const auto& rule : job_.chmodRules) {
        if (ExtensionTailMatches(remoteName, rule.extension) &&
            SendCommand(connection_->ChmodCommand(rule.permissions, remoteName), 0) == 0) {
            return 0;
        }
    }
    return 1;
}

int TransferRun::RunConnScript() {
    connection_->GetCurrentDirectory(loginFolder_);
    scriptedLogin_ = connection_->CurrentLogin();
    for (const auto& entry : job_.connScript) {
        if (SendCommand(entry.command, entry.expectResponse) == 0) {
            return 0;
        }
    }
    return 1;
}

// A new login has lost what the script set on the old one (a umask, a folder, a SITE command).
// It runs again from the folder it first ran in, so that relative commands land as they did.
void TransferRun::RenewLogin() {
    const std::uint32_t login = connection_->CurrentLogin();
    // 0: the next call fails and says why.
    if (login == 0 || login == scriptedLogin_) {
        return;
    }
    scriptedLogin_ = login;
    if (job_.connScript.empty()) {
        return;
    }
    job_.ReportVerbose("Logged in again; the connect script runs again.");
    if ((!connection_->SetCurrentDirectory(loginFolder_) || RunConnScript() == 0) && job_.ignoreErrors == 0) {
        const std::uint32_t code = connection_->LastError() != 0 ? connection_->LastError() : kExtendedError;
        throw InternetError(code, ErrorMessage(code, connection_->LastReply(), nullptr));
    }
}

int TransferRun::RunTranScript(const std::string& fileName) {
    for (const auto& entry : job_.tranScript) {
        if (SendCommand(FormatTranCommand(entry.command, connection_->CommandArgument(fileName)),
                        entry.expectResponse) == 0) {
            return 0;
        }
    }
    return 1;
}

int TransferRun::RunDiscScript() {
    for (const auto& entry : job_.discScript) {
        if (SendCommand(entry.command, entry.expectResponse) == 0) {
            return 0;
        }
    }
    return 1;
}

}  // namespace bxfr::engine
