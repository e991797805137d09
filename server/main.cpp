#include "args.h"
#include "run.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
    using namespace sorvane::server;
    ParsedArgs parsed = parseArgs(std::vector<std::string_view>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "sorvane-directory: %s\nTry 'sorvane-directory --help'.\n",
                     parsed.error.c_str());
        return 2;
    }
    if (parsed.help) {
        std::fputs(helpText("sorvane-directory").c_str(), stdout);
        return 0;
    }
    ServerOptions options = parsed.options;
    if (options.database.empty()) {
        options.database = defaultDatabasePath(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
        if (options.database.empty()) {
            std::fputs("sorvane-directory: neither XDG_DATA_HOME nor HOME is set; give --db FILE\n",
                       stderr);
            return 2;
        }
    }
    return runServer(options);
}
