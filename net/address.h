#pragma once
// Turning the host and port texts of an endpoint into an IPv4 address and a port number.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace sorvane::net {

// A port text that is neither a service name nor a decimal number.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The dotted IPv4 text for a host text: empty gives "0.0.0.0"; a text that starts with a digit
// is kept when it is a valid dotted address and gives empty text otherwise; any other text is
// looked up as a host name and gives its first IPv4 address, or empty text when it has none.
std::string HostToDottedText(const std::string& host);

// The port number for a port text: empty gives 0; a name in the services database gives that
// service's port; anything else must be a decimal integer, of which the low 16 bits are used.
// Throws EConvertError("'<text>' is not a valid integer value") otherwise.
std::uint16_t PortTextToNumber(const std::string& port);

} // namespace sorvane::net
