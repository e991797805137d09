#include "engine/presence.h"

#include "directory/directory.h"
#include "directory/errors.h"
#include "engine/thread.h"
#include "net/sockets.h"

#include <algorithm>
#include <utility>

namespace sorvane::engine {

namespace {

// Whether a connect to host:port succeeds; gives up at once when `stopEvent` is raised.
bool probe(const std::string& host, const std::string& port, int stopEvent) {
    try {
        sorvane::net::TTcpClient client;
        client.setAbortEvent(stopEvent);
        client.setRemoteHost(host);
        client.setRemotePort(port);
        client.setActive(true);
        const bool reachable = client.connected();
        client.setActive(false); // frees the friend's connection thread at once
        return reachable;
    } catch (const std::exception&) {
        return false; // a port text that is no number: nobody to reach there
    }
}

// Waits for every probe started so far when it goes out of scope, however the scope is left:
// the probes write into storage of that scope.
struct ProbesDone {
    ProbePool& probes;
    ~ProbesDone() { probes.waitIdle(); }
};

} // namespace

QStringList presenceMoves(PresencePass pass, const std::vector<FriendPresence>& probed) {
    const bool moveWhenReachable = pass == PresencePass::OfflineToOnline;
    QStringList names;
    for (const FriendPresence& f : probed)
        if (f.online() == moveWhenReachable)
            names << f.name;
    return names;
}

PresenceRun::PresenceRun(const sorvane::directory::Directory& directory, QObject* parent)
    : QObject(parent), directory_(directory) {}

PresenceRun::~PresenceRun() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        stopped_ = true;
    }
    jobReady_.notify_all();
    stop_.raise();
    if (worker_.joinable())
        worker_.join();
}

void PresenceRun::setThreadMaker(ThreadMaker maker) {
    makeThread_ = std::move(maker);
}

bool PresenceRun::start(std::function<QStringList(PresencePass)> walk) {
    SORVANE_ASSERT_UI_THREAD();
    if (running_)
        return false;
    running_ = true;
    last_.clear();
    walk_ = std::move(walk);
    beginPass(PresencePass::OfflineToOnline);
    return true;
}

void PresenceRun::beginPass(PresencePass pass) {
    const QStringList names = walk_(pass);
    if (names.isEmpty()) {
        if (pass == PresencePass::OfflineToOnline)
            beginPass(PresencePass::OnlineToOffline);
        else
            finish();
        return;
    }
    // Without a worker there is no run: everybody stays where they are until the next one.
    if (!ensureWorker()) {
        finish();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        job_ = Job{pass, std::vector<QString>(names.begin(), names.end())};
    }
    jobReady_.notify_one();
}

bool PresenceRun::ensureWorker() {
    if (worker_.joinable())
        return true;
    try {
        worker_ = makeThread_([this] { work(); });
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void PresenceRun::passFinished(PresencePass pass, const std::vector<FriendPresence>& probed,
                               bool directoryFailed) {
    SORVANE_ASSERT_UI_THREAD();
    emit passDone(pass, probed);
    for (const FriendPresence& f : probed) {
        const auto same = std::find_if(last_.begin(), last_.end(),
                                       [&](const FriendPresence& l) { return l.name == f.name; });
        if (same == last_.end())
            last_.push_back(f);
        else
            *same = f;
    }
    if (pass == PresencePass::OfflineToOnline && !directoryFailed)
        beginPass(PresencePass::OnlineToOffline);
    else
        finish();
}

void PresenceRun::finish() {
    running_ = false;
    walk_ = nullptr;
    const std::vector<FriendPresence> last = std::exchange(last_, {});
    emit runDone(last);
}

void PresenceRun::work() {
    ProbePool probes(MaxParallelProbes, makeThread_);
    sorvane::directory::CacheBuster buster;
    std::unique_lock lock(mutex_);
    for (;;) {
        jobReady_.wait(lock, [this] { return stopping_ || job_; });
        if (stopping_)
            return;
        const Job job = std::move(*job_);
        job_.reset();
        lock.unlock();
        bool directoryFailed = false;
        std::vector<FriendPresence> probed;
        try {
            probed = probePass(job, probes, buster, directoryFailed);
        } catch (const std::exception&) {
            // A pass that could not be carried out moves nobody; the run goes on.
            probed.clear();
        }
        lock.lock();
        if (stopping_)
            return;
        sorvane::engine::queueOn(
            this, [this, pass = job.pass, probed = std::move(probed), directoryFailed] {
                passFinished(pass, probed, directoryFailed);
            });
    }
}

std::vector<FriendPresence> PresenceRun::probePass(const Job& job, ProbePool& probes,
                                                   sorvane::directory::CacheBuster& buster,
                                                   bool& directoryFailed) {
    const std::size_t count = job.names.size();
    std::size_t walked = count;
    std::vector<FriendPresence> probed(count);
    // Written by the probes on the pool's threads, each its own element.
    std::vector<char> reachable(count, 0);
    {
        const ProbesDone done{probes};
        buster.reseed();
        for (std::size_t i = 0; i < count; ++i) {
            probed[i].name = job.names[i];
            const int n = buster.draw();
            if (stopped_)
                continue;
            std::string host, port;
            try {
                const sorvane::LineList reply =
                    directory_.probeLookup(job.names[i].toStdString(), n, stop_.fd());
                host = reply[0];
                port = reply[1];
                if (reply.count() > 2)
                    probed[i].key = sealing::parsePublicKey(reply[2]);
                probed[i].throughDirectory =
                    probed[i].key && reply.count() > 3 && reply[3] == "mailbox";
            } catch (const sorvane::EDirectoryUnreachable&) {
                // The run ends here; see the class.
                directoryFailed = true;
                walked = i;
                break;
            } catch (const std::exception&) {
                continue; // no address for this friend now (unknown, none, the scratch file)
            }
            probed[i].host = host;
            probed[i].port = port;
            probes.start([&reachable, i, host = std::move(host), port = std::move(port),
                          stop = stop_.fd()] { reachable[i] = probe(host, port, stop) ? 1 : 0; });
        }
    }
    probed.resize(walked);
    for (std::size_t i = 0; i < walked; ++i)
        probed[i].reachable = reachable[i] != 0;
    return probed;
}

} // namespace sorvane::engine
