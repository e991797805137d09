#pragma once
// A stand-in directory for replies a real one never gives (half replies, odd tokens, a port
// that changes between two lookups): each script answers from a queue of bodies, the last
// body repeating, and every request target is recorded.
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace sorvane::test {

class ScriptedDirectory {
public:
    ScriptedDirectory();
    ~ScriptedDirectory();

    // "http://127.0.0.1:<port>/messenger/"
    std::string base() const;
    // Replies for "g.php" etc.; `key` is the script, or script + "?u=" + user for one user.
    void reply(const std::string& key, std::vector<std::string> bodies, int status = 200);
    // Request targets received so far ("/messenger/g.php?u=a&random=12").
    std::vector<std::string> requests() const;
    // How many requests went to `script`, optionally for user `u`.
    int count(const std::string& script, const std::string& user = {}) const;
    void clearRequests();
    // Requests for `key` (as for reply) wait unanswered until release(), as requests to a far
    // or busy directory would.
    void hold(const std::string& key);
    void release();
    // Stops answering for good: connections are refused from now on, as by a directory that
    // went away.
    void stop();

private:
    std::string answer(const std::string& script, const std::string& user, int& status);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::set<std::string> held_;
    std::map<std::string, std::deque<std::string>> replies_;
    std::map<std::string, int> statuses_;
    std::vector<std::string> requests_;
    std::vector<std::pair<std::string, std::string>> calls_; // script, user
};

// A "g.php" reply: the user is registered at 127.0.0.1 and `port`.
std::string at(int port);

} // namespace sorvane::test
