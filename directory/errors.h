#pragma once
// Errors a directory request can raise. Every one of them reaches the user through the
// default error box with its message, and abandons the handler that made the request.
#include <stdexcept>
#include <string>

namespace sorvane {

// Base of every error this program shows in the default error box.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A line list read outside its bounds: "List index out of bounds (%d)".
struct EListError : Error {
    using Error::Error;
};

// The scratch file could not be created, written or closed (platform text, e.g. "Permission
// denied").
struct EInOutError : Error {
    using Error::Error;
};

// The scratch file could not be opened for reading: "Cannot open file \"<path>\". <reason>".
struct EFOpenError : Error {
    using Error::Error;
};

// No HTTP response at all: refused, unresolved, timed out.
struct EDirectoryUnreachable : Error {
    EDirectoryUnreachable() : Error("Cannot reach the directory server.") {}
};

} // namespace sorvane
