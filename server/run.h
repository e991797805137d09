#pragma once

namespace sorvane::server {

struct ServerOptions;

// Opens the database, serves until SIGTERM or SIGINT, and returns the
// process exit status. Prints "listening on HOST:PORT" on standard output
// once connections are accepted.
int runServer(const ServerOptions& options);

} // namespace sorvane::server
