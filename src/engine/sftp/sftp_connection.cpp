// The SFTP connection's login and file operations, answered in FTP's terms.

#include "engine/sftp/sftp_connection.h"

#include <deque>
#include <utility>

#include "engine/error_texts.h"
#include "engine/ftp/ftp_listing.h"
#include "engine/ftp/ftp_replies.h"
#include "engine/sftp/sftp_adapter.h"
#include "job/text_encoding.h"

namespace bxfr::engine {

using namespace sftp;

std::shared_ptr<Client> SftpSession::Current() {
    const std::lock_guard guard(lock_);
    if (!client_ || client_->Lost()) {
        client_.reset();
        client_ = std::make_shared<Client>(std::make_unique<SshLink>(params_), params_);
        ++logins_;
    }
    return client_;
}

std::shared_ptr<Client> SftpSession::Existing() const {
    const std::lock_guard guard(lock_);
    return client_;
}

std::uint32_t SftpSession::Logins() const {
    const std::lock_guard guard(lock_);
    return logins_;
}

SftpConnection::SftpConnection(const LoginParams& params) : session_(std::make_shared<SftpSession>(params)) {}

SftpConnection::SftpConnection(std::shared_ptr<SftpSession> session, std::string folder)
    : session_(std::move(session)), folder_(std::move(folder)) {}

SftpConnection::~SftpConnection() = default;

std::unique_ptr<Connection> SftpConnection::Share() {
    return std::make_unique<SftpConnection>(session_, folder_);
}

std::string SftpConnection::Security() const {
    const std::shared_ptr<Client> client = session_->Existing();
    return client ? client->Security() : std::string();
}

void SftpConnection::Login() {
    session_->Current();
    // The session starts in the account's home.
    const Reply home = CallPath(kRealpath, ".");
    if (home.type == kName && home.names.size() == 1 && home.names.front().name.starts_with('/')) {
        folder_ = home.names.front().name;
    }
    Succeed(230, "230 Logged in over SSH.");
}

std::shared_ptr<Client> SftpConnection::Session() { return session_->Current(); }

std::uint32_t SftpConnection::CurrentLogin() {
    const std::shared_ptr<Client> client = session_->Existing();
    if (client && !client->Lost()) return session_->Logins();
    const ServerReply reply = lastReply_;
    const std::uint32_t error = lastError_;
    try {
        Session();
    } catch (const CertificateError&) {
        throw;
    } catch (const InternetError& e) {
        Record(e.code(), ThreadLastReply());
        return 0;
    }
    Record(error, reply);
    return session_->Logins();
}

Reply SftpConnection::Call(std::uint8_t type, const std::function<void(PacketWriter&)>& fill) {
    const std::shared_ptr<Client> client = Session();
    const std::uint32_t id = client->NextId();
    PacketWriter packet(type, id);
    fill(packet);
    client->Send(id, std::move(packet));
    return client->Wait(id);
}

Reply SftpConnection::CallPath(std::uint8_t type, const std::string& path) {
    return Call(type, [&](PacketWriter& p) { p.String(path); });
}

void SftpConnection::Record(std::uint32_t error, ServerReply reply) {
    lastError_ = error;
    lastReply_ = std::move(reply);
    ThreadLastReply() = lastReply_;
}

bool SftpConnection::Fail(int code, const std::string& text) {
    Record(kExtendedError, ServerReply{code, std::to_string(code) + " " + text});
    return false;
}

bool SftpConnection::Status(const Reply& reply, const std::string& what) {
    if (reply.type == kStatus && reply.status == kOk) {
        Succeed(200, "200 " + what + ": done");
        return true;
    }
    if (reply.type != kStatus) return Fail(550, what + ": the server answered out of turn");
    return Fail(550, what + ": " + (reply.message.empty() ? StatusName(reply.status) : reply.message));
}

bool SftpConnection::Refuse(const std::string& text) {
    if (!job::HoldsLineBreak(text)) return false;
    Record(kInvalidOperation, ServerReply{0, kInjectionRefusal});
    return true;
}

void SftpConnection::RaiseLast() {
    throw InternetError(lastError_, ErrorMessage(lastError_, lastReply_, nullptr));
}

std::string SftpConnection::Resolve(const std::string& path) const { return ResolvePath(folder_, path); }

std::optional<Attributes> SftpConnection::StatOf(const std::string& path) {
    const Reply reply = CallPath(kStat, path);
    if (reply.type == kAttrs) return reply.attributes;
    Status(reply, path);
    return std::nullopt;
}

bool SftpConnection::GetCurrentDirectory(std::string& folder) {
    folder = folder_;
    Succeed(257, "257 \"" + folder_ + "\" is current directory.");
    return true;
}

bool SftpConnection::SetCurrentDirectory(const std::string& folder) {
    if (Refuse(folder)) return false;
    return Guard([&] {
        const std::string path = Resolve(folder);
        const std::optional<Attributes> attributes = StatOf(path);
        if (!attributes) return false;
        if (!attributes->IsFolder()) return Fail(550, path + ": not a folder");
        folder_ = path;
        Succeed(250, "250 Folder is now " + path + ".");
        return true;
    });
}

bool SftpConnection::CreateDirectory(const std::string& folder) {
    if (Refuse(folder)) return false;
    return Guard([&] {
        const std::string path = Resolve(folder);
        return Status(Call(kMkdir, [&](PacketWriter& p) { p.String(path).Attrs({}); }), path);
    });
}

bool SftpConnection::Rename(const std::string& from, const std::string& to) {
    if (Refuse(from) || Refuse(to)) return false;
    return Guard([&] {
        const std::string source = Resolve(from);
        const std::string target = Resolve(to);
        // OpenSSH's rename replaces the target in one step, as RNTO does on FTP servers; plain
        // SFTP rename refuses an existing target.
        if (Session()->Offers("posix-rename@openssh.com")) {
            return Status(Call(kExtended,
                               [&](PacketWriter& p) {
                                   p.String("posix-rename@openssh.com").String(source).String(target);
                               }),
                          "rename " + source);
        }
        return Status(Call(kRename, [&](PacketWriter& p) { p.String(source).String(target); }),
                      "rename " + source);
    });
}

bool SftpConnection::Delete(const std::string& name) {
    if (Refuse(name)) return false;
    return Guard([&] {
        const std::string path = Resolve(name);
        return Status(CallPath(kRemove, path), path);
    });
}

bool SftpConnection::FileSize(const std::string& name, std::uint64_t& size) {
    if (Refuse(name)) return false;
    return Guard([&] {
        const std::string path = Resolve(name);
        const std::optional<Attributes> attributes = StatOf(path);
        if (!attributes) return false;
        if (attributes->IsFolder()) return Fail(550, path + " is a folder.");
        if (!attributes->size) return Fail(550, "The server did not tell the size of " + path + ".");
        size = *attributes->size;
        Succeed(213, "213 " + std::to_string(size));
        return true;
    });
}

bool SftpConnection::GetModificationTime(const std::string& name, std::int64_t& unixSeconds) {
    if (Refuse(name)) return false;
    return Guard([&] {
        const std::string path = Resolve(name);
        std::optional<std::int64_t> seconds;
        if (path == timedPath_ && timedSeconds_) {
            seconds = timedSeconds_;
        } else {
            const std::optional<Attributes> attributes = StatOf(path);
            if (!attributes) return false;
            if (attributes->times) seconds = attributes->times->second;
        }
        if (!seconds) return Fail(550, "The server did not tell the time of " + path + ".");
        unixSeconds = *seconds;
        Succeed(213, "213 " + FormatFtpTime(*seconds));
        return true;
    });
}

bool SftpConnection::SetModificationTime(const std::string& name, std::int64_t unixSeconds) {
    if (Refuse(name)) return false;
    return Guard([&] {
        const std::string path = Resolve(name);
        Attributes attributes;
        const auto seconds = static_cast<std::uint32_t>(unixSeconds);
        attributes.times.emplace(seconds, seconds);
        return Status(Call(kSetstat, [&](PacketWriter& p) { p.String(path).Attrs(attributes); }), path);
    });
}

bool SftpConnection::List(const std::string& folder, std::vector<RemoteEntry>& entries) {
    entries.clear();
    if (Refuse(folder)) return false;
    return Guard([&] {
        const std::string path = Resolve(folder);
        const Reply opened = CallPath(kOpendir, path);
        if (opened.type != kHandle) return Status(opened, path);
        const std::shared_ptr<Client> held = Session();
        Client& client = *held;
        // Two reads in flight: a small folder's names and its end come in one round trip.
        std::deque<std::uint32_t> reads;
        bool ended = false;
        bool failed = false;
        while (!reads.empty() || !ended) {
            while (!ended && reads.size() < 2) {
                const std::uint32_t id = client.NextId();
                client.Send(id, std::move(PacketWriter(kReaddir, id).String(opened.handle)));
                reads.push_back(id);
            }
            const Reply reply = client.Wait(reads.front());
            reads.pop_front();
            if (reply.type == kName) {
                for (const NameEntry& name : reply.names) {
                    if (name.name == "." || name.name == ".." || failed || ended) continue;
                    RemoteEntry entry;
                    entry.name = name.name;
                    entry.isLink = name.attributes.IsLink();
                    entry.isFolder = name.attributes.IsFolder();
                    entry.length = name.attributes.size.value_or(0);
                    if (name.attributes.times && !entry.isLink)
                        entry.modified = name.attributes.times->second;
                    entries.push_back(std::move(entry));
                }
            } else {
                if (!(reply.type == kStatus && reply.status == kEof) && !ended) failed = !Status(reply, path);
                ended = true;
            }
        }
        const std::uint32_t close = client.NextId();
        client.SendQuietly(close, std::move(PacketWriter(kClose, close).String(opened.handle)));
        if (failed) {
            entries.clear();
            return false;
        }
        Succeed(226, "226 Listed " + path);
        return true;
    });
}

void SftpConnection::CloseQuietly(const std::string& handle) {
    const std::shared_ptr<Client> client = session_->Existing();
    if (!client || client->Lost()) return;
    const std::uint32_t id = client->NextId();
    client->SendQuietly(id, std::move(PacketWriter(kClose, id).String(handle)));
}

std::unique_ptr<Connection> OpenSftpConnection(const LoginParams& params) {
    if (params.userName.empty()) {
        ThreadLastReply() = ServerReply{0, "SFTP has no anonymous login: the account needs a user name."};
        throw InternetError(kIncorrectUserName, ErrorMessage(kIncorrectUserName, ThreadLastReply(), nullptr));
    }
    auto connection = std::make_unique<SftpConnection>(params);
    connection->Login();
    return connection;
}

}  // namespace bxfr::engine
