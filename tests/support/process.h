#pragma once

// Child processes of the test support: started with their output in a log
// file, killed when the thread that started them ends.

#include <string>
#include <vector>

#include <sys/types.h>

namespace sorvane::test {

// Starts argv[0] (a full path) as uid/gid when they differ from the
// process's own, with standard output and error appended to `log`. The child
// gets `deathSignal` when the thread that started it ends.
pid_t spawnLogged(const std::vector<std::string>& argv, uid_t uid, gid_t gid,
                  const std::string& log, int deathSignal);

// Waits for the child; its exit code, or 128 + the signal that ended it.
int waitExit(pid_t pid);

// Sends `signal`, waits up to `seconds`, then SIGKILL and waits.
void stopChild(pid_t pid, int signal, int seconds);

std::string readFile(const std::string& path);

} // namespace sorvane::test
