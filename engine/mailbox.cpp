#include "engine/mailbox.h"

#include "directory/directory.h"
#include "engine/thread.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace sorvane::engine {

struct Mailbox::Session {
    std::string own, token;
    std::filesystem::path seenFile;
    net::StopEvent stop;
    std::mutex mutex;
    std::condition_variable handed;
    std::set<std::string> unacknowledged; // received, not yet handed on
    std::vector<std::string> acks;        // handed on, not yet acknowledged
    bool stopping = false;
};

namespace {

// "ID SENDER sv1:...": the sender's name may hold blanks, the sealed text holds none.
bool parseLine(const std::string& text, Mailbox::Line& line) {
    const std::size_t id = text.find(' ');
    const std::size_t sealed = text.rfind(" sv1:");
    if (id == std::string::npos || sealed == std::string::npos || sealed <= id)
        return false;
    line = {text.substr(0, id), text.substr(id + 1, sealed - id - 1), text.substr(sealed + 1)};
    return !line.id.empty() && !line.sender.empty();
}

// Waits `pause`, or less when `stopFd` is raised first; false then.
bool rest(int stopFd, std::chrono::milliseconds pause) {
    pollfd stop{stopFd, POLLIN, 0};
    return ::poll(&stop, stopFd < 0 ? 0 : 1, static_cast<int>(pause.count())) == 0;
}

// Puts what was written to `file` so far on disk.
void flush(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fdatasync(fd);
        ::close(fd);
    }
}

} // namespace

Mailbox::Mailbox(const directory::Directory& directory, QObject* parent)
    : QObject(parent), directory_(directory) {}

Mailbox::~Mailbox() {
    stop();
}

void Mailbox::start(const std::string& own, const std::string& token,
                    const std::filesystem::path& seenFile) {
    SORVANE_ASSERT_UI_THREAD();
    stop();
    auto session = std::make_shared<Session>();
    session->own = own;
    session->token = token;
    session->seenFile = seenFile;
    try {
        worker_ = std::thread([this, session] { work(session); });
        session_ = std::move(session);
    } catch (const std::system_error&) {
        // No worker, no mailbox: lines wait in the directory until the next login.
    }
}

void Mailbox::stop() {
    if (session_) {
        {
            std::lock_guard lock(session_->mutex);
            session_->stopping = true;
        }
        session_->handed.notify_all();
        session_->stop.raise();
    }
    if (worker_.joinable())
        worker_.join();
    session_.reset();
}

void Mailbox::handedOn(const std::string& id) {
    SORVANE_ASSERT_UI_THREAD();
    if (!session_)
        return;
    {
        std::lock_guard lock(session_->mutex);
        if (session_->unacknowledged.erase(id) == 0)
            return;
        session_->acks.push_back(id);
    }
    session_->handed.notify_all();
}

void Mailbox::work(std::shared_ptr<Session> session) {
    std::chrono::milliseconds retry = FirstRetry;
    for (;;) {
        std::vector<std::string> acks;
        {
            // Lines just handed out are acknowledged in the next request, so it waits for them
            // a little: asked at once, the directory would hand them out again.
            std::unique_lock lock(session->mutex);
            session->handed.wait_for(lock, HandOnWait, [&] {
                return session->stopping || session->unacknowledged.empty();
            });
            if (session->stopping)
                return;
            const std::size_t take = std::min<std::size_t>(session->acks.size(), 100);
            acks.assign(session->acks.begin(), session->acks.begin() + take);
            session->acks.erase(session->acks.begin(), session->acks.begin() + take);
        }
        if (!acks.empty())
            flush(session->seenFile); // an acknowledged line is gone from the directory
        directory::Reply reply;
        bool answered = false;
        try {
            reply = directory_.fetchMailbox(session->own, session->token, acks, WaitSeconds,
                                            session->stop.fd());
            answered = reply.status == 200;
        } catch (const std::exception&) {
        }
        if (!answered) {
            {
                std::lock_guard lock(session->mutex);
                if (session->stopping)
                    return;
                session->acks.insert(session->acks.begin(), acks.begin(), acks.end());
            }
            if (reply.status == 403 && directory::needsNewLogin(reply.lines)) {
                queueOn(this, [this] { emit logInAgain(); });
                return;
            }
            if (!rest(session->stop.fd(), retry))
                return;
            retry = std::min(retry * 2, LastRetry);
            continue;
        }
        retry = FirstRetry;
        std::vector<Line> lines;
        {
            std::lock_guard lock(session->mutex);
            for (int i = 0; i < reply.lines.count(); ++i) {
                Line line;
                if (parseLine(reply.lines[i], line) &&
                    std::find(session->acks.begin(), session->acks.end(), line.id) ==
                        session->acks.end() &&
                    session->unacknowledged.insert(line.id).second)
                    lines.push_back(std::move(line));
            }
        }
        if (!lines.empty())
            queueOn(this, [this, session, lines = std::move(lines)] {
                if (session_ == session)
                    emit arrived(lines);
            });
    }
}

} // namespace sorvane::engine
