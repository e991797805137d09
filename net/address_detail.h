#pragma once
// Address building shared by the endpoint sources; not part of the public interface.
#include <netinet/in.h>

#include <string>

namespace sorvane::net::detail {

// Fills `address` from a host and a port text. Returns false when the host gives no address
// (the port is still converted, so a bad port text throws EConvertError either way).
bool MakeAddress(const std::string& host, const std::string& port, sockaddr_in& address);

// The dotted text of an IPv4 address in network byte order.
std::string DottedText(in_addr address);

} // namespace sorvane::net::detail
