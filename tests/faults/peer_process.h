#pragma once
// A peer client running as a process of its own (faults_peer): it can die for real.
#include <string>
#include <sys/types.h>

namespace sorvane::test {

class PeerProcess {
public:
    // Starts it and waits until it listens on 127.0.0.1; throws when it does not.
    PeerProcess();
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    int port() const { return port_; }
    bool running() const { return pid_ > 0; }
    // SIGKILL and reap: no chance to close anything itself.
    void kill9();

private:
    pid_t pid_ = -1;
    int port_ = 0;
    int output_ = -1;
};

} // namespace sorvane::test
