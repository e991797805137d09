#pragma once
// A bed of separate hosts for one test: each host a Linux network namespace with its loopback
// and one Ethernet link to a bridge that lives in a namespace of its own. Hosts have addresses
// in 10.77.1.0/24 and names "<host>.bed" (each host's /etc/hosts, as `ip netns exec` mounts it,
// also maps the machine's host name to the host's own address, as a real machine's would).
// A host may instead sit behind another (one host behind each), which is then its home router: a
// private network (192.168.77.0/24) of the two, forwarded and masqueraded behind the router's one
// address (nftables), so that the host behind it can connect out and cannot be connected to.
//
//   Bed bed({"directory", "ann", "bob"});     // throws BedUnavailable without the privilege
//   Bed home({"directory", "ann", "router"}, {{"bob", "router"}});
//   BedProcess server(bed, "directory", {...});
//
// Nothing leaves the bed: the namespaces have no route anywhere else, and everything that
// talks to a bed address runs inside one of them (`ip netns exec`). The names carry this
// process's id, so parallel runs never meet; a bed is torn down when the object goes, and one
// left behind by a run that was killed is torn down by the next bed made.
#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/types.h>

namespace sorvane::test {

struct BedUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Bed {
public:
    explicit Bed(const std::vector<std::string>& hosts,
                 const std::map<std::string, std::string>& behindRouters = {});
    ~Bed();
    Bed(const Bed&) = delete;
    Bed& operator=(const Bed&) = delete;

    // A folder for the test's files, on the machine's own file system (which every host
    // sees), removed with the bed.
    const std::string& folder() const { return folder_; }
    std::string address(const std::string& host) const; // "10.77.1.11", "192.168.77.10"
    static std::string name(const std::string& host) { return host + ".bed"; }
    // The command line that runs `command` inside `host` ("bridge": beside the bridge, whose
    // ports carry everything the hosts send each other).
    std::vector<std::string> inside(const std::string& host,
                                    const std::vector<std::string>& command) const;

private:
    std::string namespaceOf(const std::string& host) const;
    void build(const std::vector<std::string>& hosts,
               const std::map<std::string, std::string>& behindRouters);
    void writeHosts(const std::string& host, const std::vector<std::string>& all);
    void tearDown();

    std::string prefix_;
    std::string folder_;
    std::map<std::string, int> hosts_;  // host on the bridge -> index
    std::map<std::string, int> behind_; // host behind a router -> index
    std::vector<std::string> namespaces_;
};

// A program started inside a bed host: its standard input and output are pipes to the test,
// its standard error goes to `log`. It is killed when the object goes (and with the test's
// process, should that die first).
class BedProcess {
public:
    BedProcess(const Bed& bed, const std::string& host, const std::vector<std::string>& command,
               const std::map<std::string, std::string>& environment, const std::string& log);
    ~BedProcess();
    BedProcess(const BedProcess&) = delete;
    BedProcess& operator=(const BedProcess&) = delete;

    // The next line of output, without its end; nothing when none comes within `deadline` or
    // the program ended.
    std::optional<std::string> readLine(std::chrono::seconds deadline = std::chrono::seconds(90));
    void writeLine(const std::string& line);
    // writeLine, then readLine; "<no answer>" when none comes.
    std::string ask(const std::string& line);

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffered_;
};

// Runs a command to its end; its exit status and what it wrote (output and errors).
struct Ran {
    int status = -1;
    std::string output;
};
Ran runCommand(const std::vector<std::string>& command);

} // namespace sorvane::test
