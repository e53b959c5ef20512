// SPDX-License-Identifier: Apache-2.0
// Who may do what (the rules: app/service/Requests.cpp, Access.cpp).
#include <cstdio>

#include "app/door/door.h"

extern "C" {

bool papplClientHTMLAuthorize(pappl_client_t* client) {
  return authorizeAdminPage(client, frameworkFunction<bool (*)(pappl_client_t*)>("papplClientHTMLAuthorize"));
}

http_status_t papplClientIsAuthorized(pappl_client_t* client) {
  return authorizeAdmin(client,
                        frameworkFunction<http_status_t (*)(pappl_client_t*)>("papplClientIsAuthorized"));
}

bool _papplPrinterIsAuthorized(pappl_client_t* client) {
  using authorizeForGroup = http_status_t (*)(pappl_client_t*, bool, const char*, gid_t);
  const auto signIn = frameworkFunction<authorizeForGroup>("_papplClientIsAuthorizedForGroup");
  return authorizePrinterRequest(
      client, [signIn](pappl_client_t* c) { signIn(c, true, nullptr, static_cast<gid_t>(-1)); });
}

// The administrator password's hash. The framework's own takes the whole stored hash for the nonce
// when it checks a password, so that any password matched the stored one as a prefix (the web
// sign-in let everyone in) and none could match it in full (it could never be changed); and it is one
// round of SHA-256, fast to guess.
char* papplSystemHashPassword(pappl_system_t* system, const char* salt, const char* password, char* buffer,
                              size_t size) {
  if (buffer == nullptr || size == 0) return buffer;
  std::snprintf(buffer, size, "%s", newPasswordHash(system, salt, password).c_str());
  return buffer;
}

// The Host field that the framework checks: empty for a request the server refuses (the rules:
// app/service/Hosts.cpp; each request is answered through answerRequest(), Limits.cpp).
const char* httpGetField(http_t* http, http_field_t field) {
  return checkedHostField(
      http, field, frameworkFunction<const char* (*)(http_t*, http_field_t)>("httpGetField")(http, field));
}

// The image limits, never above the application's: the state file of an earlier version brings the
// framework's defaults (a tenth of the memory, 16384 pixels a side).
void papplSystemSetMaxImageSize(pappl_system_t* system, size_t size, int width, int height) {
  using setMaxImageSize = void (*)(pappl_system_t*, size_t, int, int);
  frameworkFunction<setMaxImageSize>("papplSystemSetMaxImageSize")(
      system, size == 0 || size > kMaxImageBytes ? kMaxImageBytes : size,
      width <= 0 || width > kMaxImageSide ? kMaxImageSide : width,
      height <= 0 || height > kMaxImageSide ? kMaxImageSide : height);
}

}  // extern "C"
