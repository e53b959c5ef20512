// SPDX-License-Identifier: Apache-2.0
// The administrator password: stored as a slow salted hash (yescrypt, through the system's crypt
// library), the earlier versions' hash still taken until the password next changes, and each address
// that guesses wrong made to wait longer before its next guess is checked. The waits are the client's
// own thread's (the framework gives each client one), so other clients are not held up.
#include <arpa/inet.h>
#include <crypt.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "app/service/service.h"

namespace {

// 'sameBytes()' - whether two strings are equal, in a time that does not depend on where they differ.
bool sameBytes(const char* a, const char* b) {
  const size_t length = std::strlen(a);
  if (length != std::strlen(b)) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < length; ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

// 'cryptHash()' - the crypt library's hash of 'password' with 'setting' (a salt, or a stored hash), ""
// when it cannot make one.
std::string cryptHash(const char* password, const char* setting) {
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_rn(password, setting, data.get(), sizeof *data);
  return hash != nullptr && hash[0] == '$' ? hash : "";
}

// 'findRecord()' - the index of an address's record, or records.size() when it has none.
size_t findRecord(const signInGate& gate, const std::string& address) {
  size_t i = 0;
  while (i < gate.records.size() && gate.records[i].address != address) ++i;
  return i;
}

// 'forgetOld()' - drop the records whose last failure is long past.
void forgetOld(signInGate* gate, int64_t now) {
  std::erase_if(gate->records,
                [now](const signInRecord& r) { return now - r.lastFailure >= kForgetSignIns; });
}

// 'waitUnlessStopping()' - wait 'milliseconds', or less when the server stops: whether it waited them all.
bool waitUnlessStopping(const appConfig* config, int64_t milliseconds) {
  const int64_t end = monotonicMilliseconds() + milliseconds;
  for (int64_t left = milliseconds; left > 0; left = end - monotonicMilliseconds()) {
    if (config->stopRequested.load() || config->stopping.load()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(left, 50)));
  }
  return true;
}

}  // namespace

std::string hashPassword(const char* salt, const char* password, const char* freshNonce) {
  const char* tilde = salt != nullptr ? std::strchr(salt, '~') : nullptr;
  const std::string nonce =
      tilde != nullptr ? std::string(salt, static_cast<size_t>(tilde - salt)) : freshNonce;
  const std::string text = nonce + ":" + password;
  unsigned char hash[32];
  char hex[65];
  cupsHashData("sha2-256", text.data(), text.size(), hash, sizeof hash);
  cupsHashString(hash, sizeof hash, hex, sizeof hex);
  return nonce + "~" + hex;
}

std::string slowPasswordHash(const char* password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (password == nullptr || crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr)
    return "";
  const std::string hash = cryptHash(password, setting);
  // The framework keeps at most 99 characters of it.
  return hash.size() < 100 ? hash : "";
}

bool passwordMatches(const std::string& stored, const char* password) {
  if (stored.empty() || password == nullptr) return false;
  if (stored[0] == '$') {
    const std::string hash = cryptHash(password, stored.c_str());
    return !hash.empty() && sameBytes(hash.c_str(), stored.c_str());
  }
  return stored.find('~') != std::string::npos &&
         sameBytes(stored.c_str(), hashPassword(stored.c_str(), password, "").c_str());
}

int64_t signInDelay(int failures) {
  if (failures <= 0) return 0;
  int64_t delay = kFirstSignInDelay;
  for (int i = 1; i < failures && delay < kLastSignInDelay; ++i) delay *= 2;
  return std::min(delay, kLastSignInDelay);
}

namespace {

// 'recordOf()' - an address's record, a new one (the oldest record going when there are too many) when
// it has none.
signInRecord& recordOf(signInGate* gate, const std::string& address, int64_t now) {
  const size_t i = findRecord(*gate, address);
  if (i < gate->records.size()) return gate->records[i];
  forgetOld(gate, now);
  if (gate->records.size() >= kSignInAddresses)
    gate->records.erase(std::min_element(
        gate->records.begin(), gate->records.end(),
        [](const signInRecord& a, const signInRecord& b) { return a.lastFailure < b.lastFailure; }));
  return gate->records.emplace_back(signInRecord{address, 0, now, now});
}

}  // namespace

int64_t reserveSignIn(signInGate* gate, const std::string& address, int64_t now) {
  std::lock_guard<std::mutex> lock(gate->lock);
  forgetOld(gate, now);
  signInRecord& record = recordOf(gate, address, now);
  const int64_t start = std::max(now, record.nextCheck);
  if (start - now > kLongestSignInWait) return -1;
  // Attempts sent at once wait for each other too, before any has failed.
  record.nextCheck = start + std::max(kFirstSignInDelay, signInDelay(record.failures));
  return start - now;
}

void noteSignIn(signInGate* gate, const std::string& address, bool right, int64_t now) {
  std::lock_guard<std::mutex> lock(gate->lock);
  if (right) {
    const size_t i = findRecord(*gate, address);
    if (i < gate->records.size()) gate->records.erase(gate->records.begin() + static_cast<ptrdiff_t>(i));
    return;
  }
  signInRecord& record = recordOf(gate, address, now);
  record.failures = std::min(record.failures + 1, 64);
  record.lastFailure = now;
  record.nextCheck = std::max(record.nextCheck, now + signInDelay(record.failures));
}

std::string signInAddress(pappl_client_t* client) {
  const http_addr_t* address = httpGetAddress(papplClientGetHTTP(client));
  char text[INET6_ADDRSTRLEN] = "";
  if (address == nullptr || httpAddrFamily(const_cast<http_addr_t*>(address)) == AF_LOCAL) return "";
  if (httpAddrFamily(const_cast<http_addr_t*>(address)) == AF_INET) {
    inet_ntop(AF_INET, &address->ipv4.sin_addr, text, sizeof text);
    return text;
  }
  in6_addr network = address->ipv6.sin6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&network)) {
    inet_ntop(AF_INET, &network.s6_addr[12], text, sizeof text);
    return text;
  }
  std::memset(&network.s6_addr[8], 0, 8);
  inet_ntop(AF_INET6, &network, text, sizeof text);
  return std::string(text) + "/64";
}

bool checkSignIn(appConfig* config, pappl_client_t* client, const std::function<bool()>& check) {
  if (config == nullptr) return check();
  signInGate& gate = config->signIns;
  const std::string address = signInAddress(client);
  const int64_t wait = reserveSignIn(&gate, address, monotonicMilliseconds());
  if (wait < 0) {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN,
                   "Sign-in refused unchecked: too many wrong passwords from %s.", address.c_str());
    return false;
  }
  if (!waitUnlessStopping(config, wait)) return false;
  {
    std::unique_lock<std::mutex> lock(gate.lock);
    if (!gate.freed.wait_for(lock, std::chrono::milliseconds(kLongestSignInWait),
                             [&gate] { return gate.checking < kChecksAtOnce; }))
      return false;
    ++gate.checking;
  }
  const bool right = check();
  {
    std::lock_guard<std::mutex> lock(gate.lock);
    --gate.checking;
  }
  gate.freed.notify_one();
  noteSignIn(&gate, address, right, monotonicMilliseconds());
  if (!right)
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Wrong administrator password from %s.",
                   address.empty() ? "the machine itself" : address.c_str());
  return right;
}

http_status_t checkAdminPassword(pappl_client_t* client) {
  if (!papplClientIsEncrypted(client)) return HTTP_STATUS_UPGRADE_REQUIRED;
  const char* authorization = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
  if (authorization == nullptr || std::strncmp(authorization, "Basic ", 6) != 0)
    return HTTP_STATUS_UNAUTHORIZED;
  char credentials[512];
  int length = sizeof credentials;
  httpDecode64_2(credentials, &length, authorization + 6);
  char* password = std::strchr(credentials, ':');
  if (password == nullptr) return HTTP_STATUS_UNAUTHORIZED;
  *password++ = '\0';
  pappl_system_t* system = papplClientGetSystem(client);
  char stored[256] = "";
  papplSystemGetPassword(system, stored, sizeof stored);
  if (!checkSignIn(serverSettings(system), client,
                   [&stored, password] { return passwordMatches(stored, password); }))
    return HTTP_STATUS_UNAUTHORIZED;
  papplClientSetUsername(client, credentials[0] != '\0' ? credentials : "admin");
  return HTTP_STATUS_CONTINUE;
}
