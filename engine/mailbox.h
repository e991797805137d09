#pragma once
// The user's mailbox in the directory: sealed lines that could not reach this messenger directly
// (it sits behind a home router, or was not running) wait there. One request is kept waiting at
// the directory, which answers it as soon as a line comes, so lines arrive within a second, or at
// the next login when the messenger was not running. Lines go on to the same path as those the
// listener receives (opened, checked, shown once); each is acknowledged, and so deleted from the
// mailbox, in the next request once it has been handed on and its id is on disk.
//
// Threads. The user-interface thread starts and stops a session and says which lines were handed
// on. One worker thread per session holds the request (its own scratch file) and hands the lines
// it gets to the user-interface thread as queued calls on this object.
// Shared. The ids handed on and not yet acknowledged (guarded by mutex_), the stop event.
// Stopping. stop() and the destructor raise the stop event, which ends the held request and any
// pause between tries at once, and join the worker.
#include "net/stop_event.h"

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sorvane::directory {
class Directory;
}

namespace sorvane::engine {

class Mailbox : public QObject {
    Q_OBJECT
public:
    // How long the directory holds a request for, and how long a worker waits for the lines it
    // handed on before it asks again anyway.
    static constexpr int WaitSeconds = 20;
    static constexpr std::chrono::seconds HandOnWait{5};
    // The first pause after a failed request, and the longest.
    static constexpr std::chrono::milliseconds FirstRetry{1000};
    static constexpr std::chrono::milliseconds LastRetry{60000};

    // One line from the mailbox: its id, who sent it, and the sealed text ("sv1:...").
    struct Line {
        std::string id, sender, sealed;
    };

    explicit Mailbox(const directory::Directory& directory, QObject* parent = nullptr);
    ~Mailbox() override;
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // User-interface thread. Holds a request for `own`'s lines with the login's `token` from now
    // on, ending the previous session's; `seenFile` is the file whose being on disk each
    // acknowledgement waits for.
    void start(const std::string& own, const std::string& token,
               const std::filesystem::path& seenFile);
    void stop();
    // User-interface thread. The line with `id` has been handed on: acknowledged in the next
    // request.
    void handedOn(const std::string& id);

signals:
    // User-interface thread: lines new to this session, oldest first.
    void arrived(const std::vector<sorvane::engine::Mailbox::Line>& lines);
    // User-interface thread: the directory wants a new login (another one replaced the token, or
    // the address changed); the session has ended.
    void logInAgain();

private:
    struct Session;
    void work(std::shared_ptr<Session> session);

    const directory::Directory& directory_;
    std::shared_ptr<Session> session_;
    std::thread worker_;
};

} // namespace sorvane::engine
