#include "peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace sorvane::test {

PeerProcess::PeerProcess() {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("peer: pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    char program[] = SORVANE_FAULTS_PEER_EXE;
    char* argv[] = {program, nullptr};
    const int rc = posix_spawn(&pid_, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    output_ = pipeFds[0];
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("peer: cannot start " + std::string(program));
    }
    // The first line: "listening PORT".
    std::string first;
    while (first.find('\n') == std::string::npos) {
        pollfd p{output_, POLLIN, 0};
        char c[64];
        ssize_t n = 0;
        if (poll(&p, 1, 5000) != 1 || (n = read(output_, c, sizeof c)) <= 0) {
            kill9();
            throw std::runtime_error("peer: did not start listening");
        }
        first.append(c, static_cast<std::size_t>(n));
    }
    port_ = std::stoi(first.substr(first.find(' ') + 1));
}

PeerProcess::~PeerProcess() {
    kill9();
    if (output_ >= 0)
        close(output_);
}

void PeerProcess::kill9() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

} // namespace sorvane::test
