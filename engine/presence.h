#pragma once
// The presence run: which friends can be reached, found out away from the user-interface thread,
// so that the windows repaint and take input while a far directory answers or a friend's address
// swallows connects.
//
// Threads. The user-interface thread starts a run, gives each pass the names it walks when the
// pass begins, and receives each pass's result. One worker thread, made at the first run and kept
// until this object goes, asks the directory for each friend's address, one request at a time
// into its own scratch file ("temp3.txt"), and hands each address to a probe thread (ProbePool)
// that tries the connect: a friend is probed while the next one is looked up. While pass 1's
// probes are out, the worker already looks up and probes the friends online when the run began,
// so that friends whose addresses swallow connects cost the run one connect bound, not one per
// pass; pass 2 takes those answers for the names it walks and looks up only the others.
// A lookup the directory fails (it cannot be reached, a server error, a refusal, a reply that is
// not its own) ends the run there: what the run found before it stands, and the friends not
// looked up yet stay where they are, since the directory said nothing about them. A directory
// that blinks must not take every online friend offline.
// Shared. The pass waiting for the worker (job_, guarded by mutex_); the elements of a batch of
// probes (a pass's, or the one looked up ahead), each written by one probe and read by the
// worker only once every probe of the batch has ended (its latch); the stop event. A pass's result
// goes to the user-interface thread as a queued call on this object, so nothing arrives once the
// object is gone. Stopping. The destructor raises the stop event, which ends the directory request
// and every connect in progress at once (no time-out, no connect bound is waited for), and joins
// the worker, which first waits for its probes.
#include "engine/probe_pool.h"
#include "engine/sealing.h"
#include "net/stop_event.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sorvane::directory {
class CacheBuster;
class Directory;
} // namespace sorvane::directory

namespace sorvane::engine {

// One friend as one pass of a run found it.
struct FriendPresence {
    QString name;
    bool reachable = false;
    // The address the directory gave for the friend, as text; both empty when the lookup gave
    // none (no such user, no address).
    std::string host, port;
    // The key the directory publishes for the friend, when the lookup gave one.
    std::optional<sealing::PublicKey> key;
    // The directory holds a mailbox fetch of the friend's: lines reach them through it.
    bool throughDirectory = false;
    bool online() const { return reachable || throughDirectory; }
};

// Pass 1 walks the offline list and moves whoever answers online; pass 2 walks the online list,
// the friends just moved included, and moves whoever does not answer offline. A friend the
// directory's mailbox reaches counts as answering.
enum class PresencePass { OfflineToOnline, OnlineToOffline };

// The names a pass moves to the other list, in probe order.
QStringList presenceMoves(PresencePass pass, const std::vector<FriendPresence>& probed);

class PresenceRun : public QObject {
    Q_OBJECT
public:
    // Probes of one pass run side by side, so that friends whose addresses swallow connects
    // cost the pass one connect bound rather than one each.
    static constexpr std::size_t MaxParallelProbes = 32;

    explicit PresenceRun(const sorvane::directory::Directory& directory, QObject* parent = nullptr);
    ~PresenceRun() override;
    PresenceRun(const PresenceRun&) = delete;
    PresenceRun& operator=(const PresenceRun&) = delete;

    // User-interface thread. Starts a run, unless one is out already (false). `walk` is asked,
    // as each pass begins, for the names that pass walks, in list order. A run over no names,
    // or one whose worker thread cannot be made, ends before this returns.
    bool start(std::function<QStringList(PresencePass)> walk);
    bool running() const { return running_; }

    // How the worker and probe threads are made; tests make it fail. Before the first run.
    void setThreadMaker(ThreadMaker maker);

signals:
    // User-interface thread, once per pass that walked any name, in pass order: every name the
    // pass walked, in list order, with what its probe found; when a lookup failed, the names
    // before it only.
    void passDone(PresencePass pass, const std::vector<FriendPresence>& probed);
    // User-interface thread, once per run, after its last passDone: every friend the run
    // probed, with what its last probe found, in the order they were first probed.
    void runDone(const std::vector<FriendPresence>& last);

private:
    struct Job {
        PresencePass pass;
        std::vector<QString> names;
        std::vector<QString> ahead; // pass 1: the online list as the run began
    };
    struct Batch;
    // Friends looked up, their probes out in `batch`; `slot` is each one's element there.
    struct Looked {
        std::vector<FriendPresence> found;
        std::vector<std::size_t> slot;
        std::shared_ptr<Batch> batch;
    };
    void beginPass(PresencePass pass);
    void passFinished(PresencePass pass, const std::vector<FriendPresence>& probed,
                      bool directoryFailed);
    void finish();
    bool ensureWorker();
    // Worker thread.
    void work();
    std::vector<FriendPresence> probePass(const Job& job, Looked& ahead, ProbePool& probes,
                                          sorvane::directory::CacheBuster& buster,
                                          bool& directoryFailed);
    // Looks up `names` in order and starts each one's probe into a new batch, ending at the
    // first lookup that fails for want of a directory.
    Looked lookUp(const std::vector<QString>& names, ProbePool& probes,
                  sorvane::directory::CacheBuster& buster, bool& directoryFailed);

    const sorvane::directory::Directory& directory_;
    ThreadMaker makeThread_ = standardThreads();

    // User-interface thread only.
    bool running_ = false;
    std::function<QStringList(PresencePass)> walk_;
    std::vector<FriendPresence> last_;

    std::thread worker_;
    sorvane::net::StopEvent stop_; // raised once the object is going
    std::mutex mutex_;
    std::condition_variable jobReady_;
    std::optional<Job> job_;
    bool stopping_ = false;
    std::atomic<bool> stopped_{false}; // stopping_, for the worker between lookups
};

} // namespace sorvane::engine
