// SPDX-License-Identifier: Apache-2.0
// Who may do what. A client on the machine itself (the domain socket, loopback) may do everything, as
// the framework lets it. A client from the network may print, see the printers and its own jobs and
// cancel them; everything that changes the system needs an administrator, who signs in through the
// machine's accounts (PAM, "-o auth-service=NAME") or with the password set on the security page from
// the machine itself, over TLS. What a network client may not see of other users' jobs is hidden.
#include <pwd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/service/service.h"

// The framework's status block of a printer's page, shown on the page strangers get.
extern "C" void _papplPrinterWebIteratorCallback(pappl_printer_t* printer, pappl_client_t* client);

namespace {

// The job values that only the job's owner and administrators see.
inline constexpr const char* kPrivateJobValues[] = {"job-name", "job-originating-user-name",
                                                    "job-originating-host-name", "job-originating-user-uri",
                                                    kSignedInOwnerAttr};

// 'jobIdOfUri()' - the job number at the end of a job URI, 0 if there is none.
int jobIdOfUri(const char* uri) {
  const char* slash = uri != nullptr ? std::strrchr(uri, '/') : nullptr;
  if (slash == nullptr) return 0;
  char* end = nullptr;
  const long id = std::strtol(slash + 1, &end, 10);
  return end != slash + 1 && *end == '\0' && id > 0 && id <= 0x7FFFFFFF ? static_cast<int>(id) : 0;
}

// 'strangerJobRow()' - one row of the jobs table that strangers see.
void strangerJobRow(pappl_job_t* job, void* data) {
  pappl_client_t* client = static_cast<pappl_client_t*>(data);
  const char* hidden = papplClientGetLocString(client, "(hidden)");
  papplClientHTMLPrintf(client,
                        "              <tr><td>%d</td><td>%s</td><td>%s</td><td>%d</td><td>%s</td></tr>\n",
                        papplJobGetID(job), hidden, hidden, papplJobGetImpressionsCompleted(job),
                        papplClientGetLocString(client, ippEnumString("job-state", papplJobGetState(job))));
}

}  // namespace

bool usesPam(pappl_system_t* system) {
  const char* service = papplSystemGetAuthService(system);
  return service != nullptr && service[0] != '\0';
}

bool hasPassword(pappl_system_t* system) {
  char password[256] = "";
  papplSystemGetPassword(system, password, sizeof password);
  return password[0] != '\0';
}

accessNeed operationNeed(ipp_op_t op) {
  switch (op) {
    case IPP_OP_PRINT_JOB:
    case IPP_OP_VALIDATE_JOB:
    case IPP_OP_CREATE_JOB:
    case IPP_OP_GET_JOBS:
    case IPP_OP_GET_JOB_ATTRIBUTES:
    case IPP_OP_GET_PRINTER_ATTRIBUTES:
    case IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS:
    case IPP_OP_CREATE_JOB_SUBSCRIPTIONS:
    case IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES:
    case IPP_OP_GET_SUBSCRIPTIONS:
    case IPP_OP_RENEW_SUBSCRIPTION:
    case IPP_OP_CANCEL_SUBSCRIPTION:
    case IPP_OP_GET_NOTIFICATIONS:
      return kNeedNothing;
    case IPP_OP_SEND_DOCUMENT:
    case IPP_OP_CLOSE_JOB:
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_HOLD_JOB:
    case IPP_OP_RELEASE_JOB:
      return kNeedOwner;
    default:
      return kNeedAdmin;
  }
}

bool isLocalClient(pappl_client_t* client) {
  http_addr_t* address = httpGetAddress(papplClientGetHTTP(client));
  return address != nullptr && (httpAddrFamily(address) == AF_LOCAL || httpAddrLocalhost(address));
}

std::string requestingUser(pappl_client_t* client) {
  const char* user = papplClientGetUsername(client);
  if (user != nullptr && user[0] != '\0') return user;
  ipp_attribute_t* name =
      ippFindAttribute(papplClientGetRequest(client), "requesting-user-name", IPP_TAG_NAME);
  const char* given = ippGetString(name, 0, nullptr);
  return given != nullptr && given[0] != '\0' ? given : "guest";
}

void hidePrivateJobValues(ipp_t* response, const std::string& viewer,
                          const std::function<std::string(int)>& ownerOf) {
  std::vector<ipp_attribute_t*> group, hidden;
  int id = 0;
  const auto endGroup = [&] {
    if (!group.empty() && (id == 0 || ownerOf(id) != viewer))
      for (ipp_attribute_t* attribute : group)
        for (const char* name : kPrivateJobValues)
          if (std::strcmp(ippGetName(attribute), name) == 0) hidden.push_back(attribute);
    group.clear();
    id = 0;
  };
  for (ipp_attribute_t* attribute = ippFirstAttribute(response); attribute != nullptr;
       attribute = ippNextAttribute(response)) {
    const char* name = ippGetName(attribute);
    const ipp_tag_t tag = ippGetGroupTag(attribute);
    if ((tag != IPP_TAG_JOB && tag != IPP_TAG_EVENT_NOTIFICATION) || name == nullptr) {
      endGroup();
      continue;
    }
    group.push_back(attribute);
    if (std::strcmp(name, "job-id") == 0 || std::strcmp(name, "notify-job-id") == 0)
      id = ippGetInteger(attribute, 0);
    if (std::strcmp(name, "job-uri") == 0 && id == 0) id = jobIdOfUri(ippGetString(attribute, 0, nullptr));
  }
  endGroup();
  for (ipp_attribute_t* attribute : hidden) ippDeleteAttribute(response, attribute);
}

void respondRemoteAdminOff(pappl_client_t* client) {
  papplClientRespond(client, HTTP_STATUS_FORBIDDEN, nullptr, "text/html", 0, 0);
  papplClientHTMLHeader(client, "Administration from the network is off", 0);
  papplClientHTMLPuts(
      client,
      "    <div class=\"content\">\n      <div class=\"row\">\n        <div class=\"col-12\">\n"
      "          <h1 class=\"title\">Administration from the network is off</h1>\n"
      "          <p>This page changes the printers. From the network it needs an administrator who signs in, "
      "and no way to sign in has been set up. On the machine itself it is open: use "
      "<code>http://localhost/</code> at the server's port there, or the <code>label-printer-app</code> "
      "commands.</p>\n"
      "          <p>To administer from the network, either set an administrator password on the Security "
      "page "
      "from the machine itself, or start the server with <code>-o auth-service=NAME</code> so that "
      "administrators sign in with their accounts on this machine (PAM service NAME). Administrators then "
      "sign in over HTTPS.</p>\n"
      "        </div>\n      </div>\n    </div>\n");
  papplClientHTMLFooter(client);
}

void respondStrangerPrinterHome(pappl_client_t* client, pappl_printer_t* printer) {
  const bool printing = papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING;
  papplClientHTMLPrinterHeader(client, printer, nullptr, printing ? 10 : 0, nullptr, nullptr);
  papplClientHTMLPuts(client, "      <div class=\"row\">\n        <div class=\"col-12\">\n");
  _papplPrinterWebIteratorCallback(printer, client);
  papplClientHTMLPrintf(client, "          <h1 class=\"title\">%s</h1>\n",
                        papplClientGetLocString(client, "Jobs"));
  if (papplPrinterGetNumberOfJobs(printer) > 0) {
    papplClientHTMLPrintf(client,
                          "          <table class=\"list\" summary=\"Jobs\">\n            <thead>\n"
                          "              <tr><th>%s</th><th>%s</th><th>%s</th><th>%s</th><th>%s</th></tr>\n"
                          "            </thead>\n            <tbody>\n",
                          papplClientGetLocString(client, "Job #"), papplClientGetLocString(client, "Name"),
                          papplClientGetLocString(client, "Owner"), papplClientGetLocString(client, "Pages"),
                          papplClientGetLocString(client, "Status"));
    papplPrinterIterateAllJobs(printer, strangerJobRow, client, 1, 20);
    papplClientHTMLPuts(client, "            </tbody>\n          </table>\n");
  } else {
    papplClientHTMLPrintf(client, "          <p>%s</p>\n",
                          papplClientGetLocString(client, "No jobs in history."));
  }
  papplClientHTMLPuts(client, "        </div>\n      </div>\n");
  papplClientHTMLPrinterFooter(client);
}

bool trustsServerPeer(uid_t peer, uid_t caller, uid_t service) {
  return peer == 0 || peer == caller || (service != static_cast<uid_t>(-1) && peer == service);
}

int checkServerPeer(int fd, std::string* reason) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    *reason = std::string("its owner cannot be told (") + std::strerror(errno) + ")";
    return 1;
  }
  uid_t service = static_cast<uid_t>(-1);
  passwd entry{}, *found = nullptr;
  char buffer[4096];
  if (getpwnam_r("label-printer-app", &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
    service = found->pw_uid;
  if (trustsServerPeer(peer.uid, getuid(), service)) return 0;
  *reason = "it belongs to user " + std::to_string(peer.uid) +
            ", neither root, the service's user nor you: another user may have put it there";
  return 1;
}
