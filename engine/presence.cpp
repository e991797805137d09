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
    Job job{pass, std::vector<QString>(names.begin(), names.end()), {}};
    if (pass == PresencePass::OfflineToOnline) {
        const QStringList online = walk_(PresencePass::OnlineToOffline);
        job.ahead.assign(online.begin(), online.end());
    }
    {
        std::lock_guard lock(mutex_);
        job_ = std::move(job);
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

// A batch of probes and its latch.
struct PresenceRun::Batch {
    std::mutex mutex;
    std::condition_variable done;
    std::size_t pending = 0;
    std::vector<char> reachable; // one element per probe, written under the mutex
    void wait() {
        std::unique_lock lock(mutex);
        done.wait(lock, [this] { return pending == 0; });
    }
};

void PresenceRun::work() {
    ProbePool probes(MaxParallelProbes, makeThread_);
    sorvane::directory::CacheBuster buster;
    Looked ahead;
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
            probed = probePass(job, ahead, probes, buster, directoryFailed);
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

namespace {
constexpr std::size_t NotProbed = static_cast<std::size_t>(-1);
}

PresenceRun::Looked PresenceRun::lookUp(const std::vector<QString>& names, ProbePool& probes,
                                        sorvane::directory::CacheBuster& buster,
                                        bool& directoryFailed) {
    Looked out;
    out.batch = std::make_shared<Batch>();
    out.batch->reachable.assign(names.size(), 0);
    for (std::size_t i = 0; i < names.size(); ++i) {
        FriendPresence f;
        f.name = names[i];
        const int n = buster.draw();
        std::size_t slot = NotProbed;
        if (!stopped_) {
            try {
                const sorvane::LineList reply =
                    directory_.probeLookup(names[i].toStdString(), n, stop_.fd());
                f.host = reply[0];
                f.port = reply[1];
                if (reply.count() > 2)
                    f.key = sealing::parsePublicKey(reply[2]);
                f.throughDirectory = f.key && reply.count() > 3 && reply[3] == "mailbox";
                slot = i;
            } catch (const sorvane::EDirectoryUnreachable&) {
                // The run ends here; see the class.
                directoryFailed = true;
                break;
            } catch (const std::exception&) {
                // no address for this friend now (unknown, none, the scratch file)
            }
        }
        if (slot != NotProbed) {
            {
                std::lock_guard lock(out.batch->mutex);
                ++out.batch->pending;
            }
            probes.start(
                [batch = out.batch, slot, host = f.host, port = f.port, stop = stop_.fd()] {
                    const bool reachable = probe(host, port, stop);
                    std::lock_guard lock(batch->mutex);
                    batch->reachable[slot] = reachable ? 1 : 0;
                    if (--batch->pending == 0)
                        batch->done.notify_all();
                });
        }
        out.found.push_back(std::move(f));
        out.slot.push_back(slot);
    }
    return out;
}

std::vector<FriendPresence> PresenceRun::probePass(const Job& job, Looked& ahead, ProbePool& probes,
                                                   sorvane::directory::CacheBuster& buster,
                                                   bool& directoryFailed) {
    // What a batch found, once its probes have ended.
    const auto result = [](const Looked& l, std::size_t k) {
        FriendPresence f = l.found[k];
        f.reachable = l.slot[k] != NotProbed && l.batch->reachable[l.slot[k]] != 0;
        return f;
    };
    buster.reseed();
    std::vector<FriendPresence> probed;
    if (job.pass == PresencePass::OfflineToOnline) {
        ahead = {};
        const Looked mine = lookUp(job.names, probes, buster, directoryFailed);
        if (!directoryFailed && !job.ahead.empty()) {
            bool aheadFailed = false; // pass 2 asks again for those it lacks
            ahead = lookUp(job.ahead, probes, buster, aheadFailed);
        }
        mine.batch->wait();
        for (std::size_t k = 0; k < mine.found.size(); ++k)
            probed.push_back(result(mine, k));
        return probed;
    }
    // Pass 2: the names looked up ahead keep their answers; the others are looked up now.
    const auto aheadOf = [&](const QString& name) {
        for (std::size_t k = 0; k < ahead.found.size(); ++k)
            if (ahead.found[k].name == name)
                return k;
        return NotProbed;
    };
    std::vector<QString> missing;
    for (const QString& name : job.names)
        if (aheadOf(name) == NotProbed)
            missing.push_back(name);
    const Looked fresh = lookUp(missing, probes, buster, directoryFailed);
    fresh.batch->wait();
    if (ahead.batch)
        ahead.batch->wait();
    std::size_t next = 0; // in `fresh`
    for (const QString& name : job.names) {
        const std::size_t k = aheadOf(name);
        if (k != NotProbed) {
            probed.push_back(result(ahead, k));
        } else if (next < fresh.found.size()) {
            probed.push_back(result(fresh, next++));
        } else {
            break; // the directory failed before this name: the pass ends before it
        }
    }
    ahead = {};
    return probed;
}

} // namespace sorvane::engine
