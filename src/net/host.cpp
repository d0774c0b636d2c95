#include "net/host.h"

#include "net/platform.h"

namespace kelo::net {

bool IsLookupName(const std::wstring& host) {
  for (const wchar_t* marker : {L".com", L".net", L".cn"}) {
    if (host.find(marker) != std::wstring::npos) return true;
  }
  return false;
}

bool ResolveHost(const std::wstring& host, uint32_t* address_be) {
  const std::string bytes = HostBytes(host);
  if (IsLookupName(host)) return ResolveByName(bytes.c_str(), address_be);
  *address_be = ParseAddress(bytes.c_str());
  return true;
}

}  // namespace kelo::net
