// SPDX-License-Identifier: Apache-2.0
// Which requests come from the server's own pages. A stranger's web page, served under a name the
// stranger then points at 127.0.0.1, is of the same origin as the server's pages in a browser on this
// machine, which sends the stranger's name as the Host: so a loopback connection is the machine's own
// only when its Host is one of the server's names. A form posted from another origin (a browser names
// it in Origin) is refused from anywhere.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "app/service/service.h"

namespace {

// The client whose request this thread answers, and whether its Host and Origin were found foreign:
// the framework reads the Host field, and checks a password, with no more than the connection or the
// password in hand.
struct clientRequest {
  pappl_client_t* client = nullptr;
  enum { kUnchecked, kTaken, kRefused } verdict = kUnchecked;
};
thread_local clientRequest tRequest;

// 'lowerName()' - a host name in lower case without its final dot.
std::string lowerName(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

// 'addName()' - add a host name, and its first label's ".local" name, to the server's names.
void addName(serverNames* own, const char* name) {
  if (name == nullptr || name[0] == '\0' || name[0] == '/' || std::strcmp(name, "*") == 0) return;
  const std::string lower = lowerName(name);
  if (lower.empty()) return;
  own->names.push_back(lower);
  own->names.push_back(lower.substr(0, lower.find('.')) + ".local");
}

// 'isLoopbackLiteral()' - whether an address literal ("127.0.0.1", "::1") is a loopback address; its
// numeric form in *numeric, "" when it is no address.
bool isLoopbackLiteral(const std::string& name, std::string* numeric) {
  in_addr v4{};
  in6_addr v6{};
  char text[INET6_ADDRSTRLEN] = "";
  numeric->clear();
  if (inet_pton(AF_INET, name.c_str(), &v4) == 1) {
    *numeric = inet_ntop(AF_INET, &v4, text, sizeof text);
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  if (inet_pton(AF_INET6, name.c_str(), &v6) == 1) {
    *numeric = inet_ntop(AF_INET6, &v6, text, sizeof text);
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  return false;
}

// 'parsePort()' - a port's digits as a number, 0 when they are none or out of range.
int parsePort(const std::string& digits) {
  if (digits.empty() || digits.size() > 5 ||
      !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
    return 0;
  const int port = std::stoi(digits);
  return port >= 1 && port <= 65535 ? port : 0;
}

}  // namespace

bool splitHostField(const std::string& field, hostField* split) {
  *split = {};
  std::string rest;
  if (!field.empty() && field[0] == '[') {
    const size_t close = field.find(']');
    if (close == std::string::npos) return false;
    split->name = field.substr(1, close - 1);
    in6_addr v6{};
    if (inet_pton(AF_INET6, split->name.c_str(), &v6) != 1) return false;
    rest = field.substr(close + 1);
  } else {
    const size_t colon = field.find(':');
    split->name = field.substr(0, colon);
    if (colon != std::string::npos) rest = field.substr(colon);
  }
  if (split->name.empty()) return false;
  if (!rest.empty()) {
    if (rest[0] != ':' || (split->port = parsePort(rest.substr(1))) == 0) return false;
  }
  return split->name.find_first_of(" \t/\\@") == std::string::npos;
}

serverNames ownServerNames(pappl_system_t* system, const std::string& listenName) {
  serverNames own;
  own.names.push_back("localhost");
  char name[256] = "";
  if (system != nullptr) addName(&own, papplSystemGetHostName(system, name, sizeof name));
  if (gethostname(name, sizeof name) == 0) {
    name[sizeof name - 1] = '\0';
    addName(&own, name);
  }
  addName(&own, listenName.c_str());
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) == 0) {
    for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
      char text[INET6_ADDRSTRLEN] = "";
      if (i->ifa_addr == nullptr) continue;
      if (i->ifa_addr->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
      else if (i->ifa_addr->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr, text,
                  sizeof text);
      if (text[0] != '\0') own.addresses.push_back(text);
    }
    freeifaddrs(interfaces);
  }
  return own;
}

bool isServerHost(const std::string& field, const serverNames& own) {
  hostField split;
  if (!splitHostField(field, &split)) return false;
  std::string numeric;
  const bool bracketed = field[0] == '[';
  if (isLoopbackLiteral(split.name, &numeric)) return true;
  if (!numeric.empty())
    return std::find(own.addresses.begin(), own.addresses.end(), numeric) != own.addresses.end();
  if (bracketed) return false;
  const std::string name = lowerName(split.name);
  return std::find(own.names.begin(), own.names.end(), name) != own.names.end();
}

bool isSameOrigin(const std::string& origin, const std::string& host, bool encrypted) {
  const std::string scheme = encrypted ? "https://" : "http://";
  if (origin.size() <= scheme.size() || lowerName(origin.substr(0, scheme.size())) != scheme) return false;
  hostField from, to;
  if (!splitHostField(origin.substr(scheme.size()), &from) || !splitHostField(host, &to)) return false;
  const int defaultPort = encrypted ? 443 : 80;
  return lowerName(from.name) == lowerName(to.name) &&
         (from.port != 0 ? from.port : defaultPort) == (to.port != 0 ? to.port : defaultPort);
}

std::string foreignRequestReason(pappl_client_t* client, const char* host, const std::string& listenName) {
  http_t* http = papplClientGetHTTP(client);
  http_addr_t* peer = httpGetAddress(http);
  if (peer == nullptr || httpAddrFamily(peer) == AF_LOCAL) return "";
  const std::string field = host != nullptr ? host : "";
  if (isLocalClient(client) && !isServerHost(field, ownServerNames(papplClientGetSystem(client), listenName)))
    return "the Host '" + field + "' of a loopback connection is none of the server's names";
  const char* origin = httpGetField(http, HTTP_FIELD_ORIGIN);
  if (papplClientGetMethod(client) == HTTP_STATE_POST && origin != nullptr && origin[0] != '\0' &&
      !isSameOrigin(origin, field, papplClientIsEncrypted(client)))
    return "a form from '" + std::string(origin) + "' is not from the server's own pages";
  return "";
}

bool answerRequest(pappl_client_t* client, bool (*next)(pappl_client_t*)) {
  tRequest = {client, clientRequest::kUnchecked};
  const bool kept = next(client);
  tRequest = {};
  return kept;
}

pappl_client_t* requestClient() { return tRequest.client; }

const char* checkedHostField(http_t* http, http_field_t field, const char* value) {
  pappl_client_t* client = tRequest.client;
  if (field != HTTP_FIELD_HOST || client == nullptr || papplClientGetHTTP(client) != http) return value;
  if (tRequest.verdict == clientRequest::kUnchecked) {
    const appConfig* config = serverSettings(papplClientGetSystem(client));
    const std::string why = foreignRequestReason(client, value, config != nullptr ? config->listenName : "");
    tRequest.verdict = why.empty() ? clientRequest::kTaken : clientRequest::kRefused;
    if (!why.empty()) papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Refused: %s.", why.c_str());
  }
  return tRequest.verdict == clientRequest::kRefused ? "" : value;
}
