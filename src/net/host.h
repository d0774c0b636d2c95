#pragma once
// How the client turns its host text into an IPv4 address.
#include <cstdint>
#include <string>

namespace kelo::net {

// A host text containing ".com", ".net" or ".cn" anywhere is a name for the resolver;
// any other text is taken as a dotted-decimal address.
bool IsLookupName(const std::wstring& host);

// The address in network order. False only when a name does not resolve; a text that is
// neither a name nor an address gives 255.255.255.255, which no connection reaches.
bool ResolveHost(const std::wstring& host, uint32_t* address_be);

}  // namespace kelo::net
