#include "scripted_directory.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace sorvane::test {

ScriptedDirectory::ScriptedDirectory() : server_(std::make_unique<httplib::Server>()) {
    server_->Get(
        R"(/messenger/(\w+\.php))", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string script = req.matches[1];
            const std::string user = req.has_param("u") ? req.get_param_value("u") : std::string();
            {
                std::unique_lock lock(mutex_);
                requests_.push_back(req.target);
                calls_.emplace_back(script, user);
                released_.wait(lock, [&] {
                    return held_.count(script) == 0 && held_.count(script + "?u=" + user) == 0;
                });
            }
            res.set_content(answer(script, user, res.status), "text/plain");
        });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        throw std::runtime_error("scripted directory: no port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) // the socket listens already; stop() needs the loop
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ScriptedDirectory::~ScriptedDirectory() {
    stop();
}

void ScriptedDirectory::stop() {
    release();
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

std::string ScriptedDirectory::base() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/messenger/";
}

void ScriptedDirectory::reply(const std::string& key, std::vector<std::string> bodies, int status) {
    std::lock_guard lock(mutex_);
    statuses_[key] = status;
    replies_[key] = std::deque<std::string>(bodies.begin(), bodies.end());
}

std::string ScriptedDirectory::answer(const std::string& script, const std::string& user,
                                      int& status) {
    std::lock_guard lock(mutex_);
    for (const std::string& key : {script + "?u=" + user, script}) {
        auto it = replies_.find(key);
        if (it == replies_.end() || it->second.empty())
            continue;
        std::string body = it->second.front();
        if (it->second.size() > 1)
            it->second.pop_front();
        status = statuses_[key];
        return body;
    }
    return {};
}

std::vector<std::string> ScriptedDirectory::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int ScriptedDirectory::count(const std::string& script, const std::string& user) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [&](const auto& c) {
        return c.first == script && (user.empty() || c.second == user);
    }));
}

void ScriptedDirectory::hold(const std::string& key) {
    std::lock_guard lock(mutex_);
    held_.insert(key);
}

void ScriptedDirectory::release() {
    std::lock_guard lock(mutex_);
    held_.clear();
    released_.notify_all();
}

void ScriptedDirectory::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    calls_.clear();
}

std::string at(int port) {
    return "127.0.0.1\r\n" + std::to_string(port) + "\r\n";
}

} // namespace sorvane::test
