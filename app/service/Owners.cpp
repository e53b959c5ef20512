// SPDX-License-Identifier: Apache-2.0
// Who made what. A network client is known by its address, and by the account it signed in with: it
// sees and changes its own subscriptions only, and holds a bounded number of them and of jobs that
// wait for their document. A job printed by a signed-in user belongs to that account: a client that
// only sends the same requesting-user-name does not own it. A printer's print group, when set, is
// needed to print from the network. Jobs that never get their document end after a while, and the
// spool folder's files of jobs that no longer wait go at the start.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "app/service/service.h"

extern "C" {
// The framework's own sign-in (Basic credentials through its PAM service), which names the client
// after the account when 'group' is not null; and a job's state, set as the framework sets it.
http_status_t _papplClientIsAuthorizedForGroup(pappl_client_t* client, bool allowRemote, const char* group,
                                               gid_t groupId);
void _papplJobSetState(pappl_job_t* job, ipp_jstate_t state);
void _papplSystemConfigChanged(pappl_system_t* system);
}

namespace {

// The seconds between two looks for jobs whose document is overdue.
inline constexpr int kDoclessCheckSeconds = 5;

// 'signedInAccount()' - the account a client signed in with, "" when it did not.
std::string signedInAccount(pappl_client_t* client) {
  const char* user = papplClientGetUsername(client);
  return user != nullptr ? user : "";
}

// 'signedInOwner()' - the account a job was printed under by a signed-in client, "" for a job of a
// client that did not sign in.
std::string signedInOwner(pappl_job_t* job) {
  const char* owner = ippGetString(papplJobGetAttribute(job, kSignedInOwnerAttr), 0, nullptr);
  return owner != nullptr ? owner : "";
}

// 'findJob()' - a printer's job by the printer's and the job's ids.
pappl_job_t* findJob(pappl_system_t* system, int printerId, int jobId) {
  pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, printerId, nullptr);
  return printer != nullptr ? papplPrinterFindJob(printer, jobId) : nullptr;
}

// 'waitsForDocument()' - whether a job has not ended and has no document yet.
bool waitsForDocument(pappl_job_t* job) {
  const ipp_jstate_t state = papplJobGetState(job);
  return (state == IPP_JSTATE_PENDING || state == IPP_JSTATE_HELD) && papplJobGetFilename(job) == nullptr;
}

// The jobs of the printers whose document is overdue, as (printer id, job id).
struct overdueSearch {
  time_t before;
  std::set<std::pair<int, int>> receiving;  // jobs whose document is arriving
  std::vector<std::pair<int, int>> found;
};

void collectOverdue(pappl_job_t* job, void* data) {
  auto* search = static_cast<overdueSearch*>(data);
  if (!waitsForDocument(job) || papplJobGetTimeCreated(job) > search->before) return;
  const std::pair<int, int> key{papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job)};
  if (search->receiving.count(key) == 0) search->found.push_back(key);
}

void searchPrinter(pappl_printer_t* printer, void* data) {
  papplPrinterIterateActiveJobs(printer, collectOverdue, data, 1, 0);
}

// 'endOverdueJobs()' - the system's timer: every job that has waited longer than the
// docless-job-timeout for its document ends aborted, with the reason.
bool endOverdueJobs(pappl_system_t* system, void* data) {
  appConfig* config = static_cast<appConfig*>(data);
  overdueSearch search{time(nullptr) - config->doclessJobSeconds, {}, {}};
  {
    std::lock_guard<std::mutex> hold(config->clients.lock);
    search.receiving = config->clients.receiving;
  }
  papplSystemIteratePrinters(system, searchPrinter, &search);
  for (const auto& [printerId, jobId] : search.found) {
    {
      // The history keeps the job until it has ended.
      std::lock_guard<std::mutex> hold(config->clients.lock);
      config->clients.pinned.insert({printerId, jobId});
    }
    pappl_job_t* job = findJob(system, printerId, jobId);
    if (job != nullptr && waitsForDocument(job)) {
      papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
      papplJobSetMessage(job, "No document came within %d seconds of the job's creation.",
                         config->doclessJobSeconds);
      papplLogJob(job, PAPPL_LOGLEVEL_INFO, "No document came within %d seconds; the job ends aborted.",
                  config->doclessJobSeconds);
      papplJobCancel(job);
      _papplJobSetState(job, IPP_JSTATE_ABORTED);
    }
    std::lock_guard<std::mutex> hold(config->clients.lock);
    config->clients.pinned.erase({printerId, jobId});
    config->clients.doclessJobs.erase({printerId, jobId});
  }
  if (!search.found.empty()) _papplSystemConfigChanged(system);
  return true;
}

// 'subscriptionGroupIds()' - each subscription group's notify-subscription-id in a response, with
// the group's attributes.
struct subscriptionGroup {
  int id = 0;
  std::vector<ipp_attribute_t*> attributes;
};

std::vector<subscriptionGroup> subscriptionGroups(ipp_t* response) {
  std::vector<subscriptionGroup> groups;
  bool open = false;
  for (ipp_attribute_t* attribute = ippFirstAttribute(response); attribute != nullptr;
       attribute = ippNextAttribute(response)) {
    const char* name = ippGetName(attribute);
    if (ippGetGroupTag(attribute) != IPP_TAG_SUBSCRIPTION || name == nullptr) {
      open = false;
      continue;
    }
    if (!open) groups.emplace_back();
    open = true;
    groups.back().attributes.push_back(attribute);
    if (std::strcmp(name, "notify-subscription-id") == 0) groups.back().id = ippGetInteger(attribute, 0);
  }
  return groups;
}

}  // namespace

int parseDoclessTimeout(const char* value, int* seconds) {
  if (value == nullptr || *value < '0' || *value > '9') return 1;
  char* end = nullptr;
  errno = 0;
  const long count = std::strtol(value, &end, 10);
  if (errno != 0 || *end != '\0' || count < 1 || count > kMaxDoclessJobSeconds) return 1;
  *seconds = static_cast<int>(count);
  return 0;
}

bool offersCredentials(pappl_client_t* client) {
  const char* authorization = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
  char cookie[256];
  return (authorization != nullptr && authorization[0] != '\0') ||
         papplClientGetCookie(client, "auth", cookie, sizeof cookie) != nullptr;
}

bool isTrustedClient(pappl_client_t* client) {
  return isLocalClient(client) ||
         (offersCredentials(client) && papplClientIsAuthorized(client) == HTTP_STATUS_CONTINUE);
}

void signInClient(pappl_client_t* client) {
  if (isLocalClient(client) || !signedInAccount(client).empty() || !offersCredentials(client)) return;
  pappl_system_t* system = papplClientGetSystem(client);
  if (usesPam(system))
    _papplClientIsAuthorizedForGroup(client, true, "", static_cast<gid_t>(-1));
  else if (hasPassword(system))
    checkAdminPassword(client);
}

std::string clientKey(pappl_client_t* client) {
  char address[256] = "";
  httpAddrString(httpGetAddress(papplClientGetHTTP(client)), address, sizeof address);
  const std::string account = signedInAccount(client);
  return account.empty() ? address : std::string(address) + " " + account;
}

bool ownsJob(const std::string& owner, const std::string& signedInOwner, const std::string& account,
             const std::string& requesting) {
  if (!signedInOwner.empty()) return account == signedInOwner;
  return !owner.empty() && requesting == owner;
}

bool clientOwnsJob(pappl_client_t* client, pappl_job_t* job) {
  const char* owner = papplJobGetUsername(job);
  return ownsJob(owner != nullptr ? owner : "", signedInOwner(job), signedInAccount(client),
                 requestingUser(client));
}

bool maySeeJobContent(pappl_client_t* client, pappl_job_t* job) {
  signInClient(client);
  return isTrustedClient(client) || (!signedInAccount(client).empty() && clientOwnsJob(client, job));
}

void markJobOwner(pappl_client_t* client) {
  ipp_t* request = papplClientGetRequest(client);
  // Only the server says who signed in.
  for (ipp_attribute_t* given;
       (given = ippFindAttribute(request, kSignedInOwnerAttr, IPP_TAG_ZERO)) != nullptr;)
    ippDeleteAttribute(request, given);
  signInClient(client);
  const std::string account = signedInAccount(client);
  if (!account.empty())
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_NAME, kSignedInOwnerAttr, nullptr, account.c_str());
}

void hideJobValuesFromStranger(pappl_client_t* client, pappl_printer_t* printer) {
  if (printer == nullptr || isTrustedClient(client)) return;
  hidePrivateJobValues(papplClientGetResponse(client), requestingUser(client), [&](int id) {
    pappl_job_t* job = papplPrinterFindJob(printer, id);
    return std::string(job != nullptr && clientOwnsJob(client, job) ? requestingUser(client) : "");
  });
}

bool userInGroup(const char* user, const char* group) {
  if (user == nullptr || group == nullptr || user[0] == '\0' || group[0] == '\0') return false;
  std::vector<char> buffer(16384);
  struct group groupEntry, *found = nullptr;
  if (getgrnam_r(group, &groupEntry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return false;
  const gid_t wanted = found->gr_gid;
  struct passwd userEntry, *account = nullptr;
  std::vector<char> userBuffer(16384);
  if (getpwnam_r(user, &userEntry, userBuffer.data(), userBuffer.size(), &account) != 0 || account == nullptr)
    return false;
  if (account->pw_gid == wanted) return true;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(user, account->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(user, account->pw_gid, groups.data(), &count) < 0) return false;
  }
  for (int i = 0; i < count; ++i)
    if (groups[static_cast<size_t>(i)] == wanted) return true;
  return false;
}

std::string printGroupOf(pappl_printer_t* printer) {
  char group[256] = "";
  if (papplPrinterGetPrintGroup(printer, group, sizeof group) == nullptr || group[0] == '\0' ||
      std::strcmp(group, "none") == 0) {
    group[0] = '\0';
    if (papplSystemGetDefaultPrintGroup(papplPrinterGetSystem(printer), group, sizeof group) == nullptr ||
        std::strcmp(group, "none") == 0)
      group[0] = '\0';
  }
  return group;
}

bool admitPrinting(pappl_client_t* client) {
  pappl_printer_t* printer = papplClientGetPrinter(client);
  if (printer == nullptr || isLocalClient(client)) return true;
  const std::string group = printGroupOf(printer);
  if (group.empty()) return true;
  signInClient(client);
  if (userInGroup(papplClientGetUsername(client), group.c_str()) || isTrustedClient(client)) return true;
  papplClientRespondIPP(client, IPP_STATUS_ERROR_NOT_AUTHORIZED,
                        "Printing on this printer needs a member of the group '%s', signed in over TLS.",
                        group.c_str());
  return false;
}

bool spoolFileJob(const char* name, int* printerId, int* jobId) {
  // pPPPPPjJJJJJJJJJ-NAME.EXT, NAME of lower-case letters, digits, '-' and '_', EXT of letters.
  if (name == nullptr || std::strlen(name) < 18 || name[0] != 'p' || name[6] != 'j' || name[16] != '-')
    return false;
  for (int i = 1; i < 16; ++i)
    if (i != 6 && (name[i] < '0' || name[i] > '9')) return false;
  const char* dot = std::strrchr(name + 17, '.');
  if (dot == nullptr || dot[1] == '\0') return false;
  for (const char* c = name + 17; c < dot; ++c)
    if (!((*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '-' || *c == '_')) return false;
  for (const char* c = dot + 1; *c != '\0'; ++c)
    if (*c < 'a' || *c > 'z') return false;
  *printerId = std::atoi(std::string(name + 1, 5).c_str());
  *jobId = std::atoi(std::string(name + 7, 9).c_str());
  return true;
}

int removeLeftoverSpoolFiles(pappl_system_t* system, const std::string& folder) {
  // The files of the jobs that wait, and the documents that ended jobs keep for a reprint (the history
  // keeper then removes those past the kept-documents).
  struct keptFiles {
    std::set<std::pair<int, int>> waiting;
    std::set<std::string> documents;
  } kept;
  papplSystemIteratePrinters(
      system,
      [](pappl_printer_t* printer, void* data) {
        papplPrinterIterateAllJobs(
            printer,
            [](pappl_job_t* job, void* data) {
              auto* kept = static_cast<keptFiles*>(data);
              if (papplJobGetState(job) < IPP_JSTATE_CANCELED) {
                kept->waiting.insert({papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job)});
              } else if (const char* file = papplJobGetFilename(job)) {
                const char* slash = std::strrchr(file, '/');
                kept->documents.insert(slash != nullptr ? slash + 1 : file);
              }
            },
            data, 1, 0);
      },
      &kept);
  const std::set<std::pair<int, int>>& waiting = kept.waiting;
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  DIR* entries = dir >= 0 ? fdopendir(dir) : nullptr;
  if (entries == nullptr) {
    if (dir >= 0) close(dir);
    return 0;
  }
  int removed = 0;
  for (dirent* entry; (entry = readdir(entries)) != nullptr;) {
    int printerId = 0, jobId = 0;
    struct stat info;
    if (!spoolFileJob(entry->d_name, &printerId, &jobId) || waiting.count({printerId, jobId}) != 0 ||
        kept.documents.count(entry->d_name) != 0 ||
        fstatat(dir, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
      continue;
    if (unlinkat(dir, entry->d_name, 0) == 0) ++removed;
  }
  closedir(entries);
  if (removed > 0)
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Removed %d files of jobs that no longer wait from '%s'.", removed,
             folder.c_str());
  return removed;
}

bool admitDoclessJob(pappl_client_t* client, appConfig* config) {
  if (config == nullptr || isTrustedClient(client)) return true;
  const std::string key = clientKey(client);
  pappl_system_t* system = papplClientGetSystem(client);
  std::vector<std::pair<int, int>> mine;
  {
    std::lock_guard<std::mutex> hold(config->clients.lock);
    for (const auto& [job, owner] : config->clients.doclessJobs)
      if (owner == key) mine.push_back(job);
  }
  int count = 0;
  for (const auto& [printerId, jobId] : mine) {
    pappl_job_t* job = findJob(system, printerId, jobId);
    if (job != nullptr && waitsForDocument(job)) {
      ++count;
      continue;
    }
    std::lock_guard<std::mutex> hold(config->clients.lock);
    config->clients.doclessJobs.erase({printerId, jobId});
  }
  if (count < kMaxDoclessJobsPerClient) return true;
  papplClientRespondIPP(client, IPP_STATUS_ERROR_BUSY,
                        "This client has %d jobs waiting for their documents, the most one client may "
                        "have: send their documents or cancel them first.",
                        count);
  return false;
}

void noteDoclessJob(pappl_client_t* client, appConfig* config) {
  ipp_t* response = papplClientGetResponse(client);
  pappl_printer_t* printer = papplClientGetPrinter(client);
  if (config == nullptr || printer == nullptr || isLocalClient(client) ||
      ippGetStatusCode(response) >= IPP_STATUS_ERROR_BAD_REQUEST)
    return;
  const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
  if (id <= 0) return;
  std::lock_guard<std::mutex> hold(config->clients.lock);
  config->clients.doclessJobs[{papplPrinterGetID(printer), id}] = clientKey(client);
}

void noteReceiving(appConfig* config, pappl_printer_t* printer, pappl_job_t* job, bool receiving) {
  if (config == nullptr || printer == nullptr || job == nullptr) return;
  const std::pair<int, int> key{papplPrinterGetID(printer), papplJobGetID(job)};
  std::lock_guard<std::mutex> hold(config->clients.lock);
  if (receiving)
    config->clients.receiving.insert(key);
  else
    config->clients.receiving.erase(key);
}

void startDoclessKeeper(pappl_system_t* system, appConfig* config) {
  papplSystemAddTimerCallback(system, time(nullptr) + kDoclessCheckSeconds, kDoclessCheckSeconds,
                              endOverdueJobs, config);
}

std::vector<int> requestedSubscriptions(ipp_t* request) {
  std::vector<int> ids;
  for (const char* name : {"notify-subscription-id", "notify-subscription-ids"}) {
    ipp_attribute_t* attribute = ippFindAttribute(request, name, IPP_TAG_ZERO);
    for (int i = 0; attribute != nullptr && i < ippGetCount(attribute); ++i)
      ids.push_back(ippGetValueTag(attribute) == IPP_TAG_INTEGER ? ippGetInteger(attribute, i) : 0);
  }
  return ids;
}

int requestedSubscriptionCount(ipp_t* request) {
  int count = 0;
  bool open = false;
  for (ipp_attribute_t* attribute = ippFirstAttribute(request); attribute != nullptr;
       attribute = ippNextAttribute(request)) {
    const bool inGroup =
        ippGetGroupTag(attribute) == IPP_TAG_SUBSCRIPTION && ippGetName(attribute) != nullptr;
    if (inGroup && !open) ++count;
    open = inGroup;
  }
  return count;
}

void keepOwnSubscriptions(ipp_t* response, const std::function<bool(int)>& isOwn) {
  for (const subscriptionGroup& group : subscriptionGroups(response))
    if (!isOwn(group.id))
      for (ipp_attribute_t* attribute : group.attributes) ippDeleteAttribute(response, attribute);
}

// 'liveSubscriptions()' - forget the subscriptions the framework no longer has (expired, cancelled);
// the records left, by id.
std::map<int, subscriptionRecord> liveSubscriptions(pappl_system_t* system, appConfig* config) {
  std::map<int, subscriptionRecord> records;
  {
    std::lock_guard<std::mutex> hold(config->clients.lock);
    records = config->clients.subscriptions;
  }
  std::vector<int> gone;
  for (const auto& [id, record] : records)
    if (papplSystemFindSubscription(system, id) == nullptr) gone.push_back(id);
  std::lock_guard<std::mutex> hold(config->clients.lock);
  for (const int id : gone) {
    records.erase(id);
    config->clients.subscriptions.erase(id);
  }
  return records;
}

bool admitSubscriptionRequest(pappl_client_t* client, appConfig* config) {
  if (config == nullptr || isTrustedClient(client)) return true;
  const ipp_op_t op = papplClientGetOperation(client);
  ipp_t* request = papplClientGetRequest(client);
  pappl_system_t* system = papplClientGetSystem(client);
  const std::string key = clientKey(client);
  if (op == IPP_OP_GET_SUBSCRIPTIONS) return true;
  const std::map<int, subscriptionRecord> records = liveSubscriptions(system, config);
  if (op == IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS || op == IPP_OP_CREATE_JOB_SUBSCRIPTIONS) {
    int held = 0;
    for (const auto& [id, record] : records)
      if (record.client == key && !record.cancelled) ++held;
    if (held + requestedSubscriptionCount(request) <= kMaxSubscriptionsPerClient) return true;
    papplClientRespondIPP(client, IPP_STATUS_ERROR_TOO_MANY_SUBSCRIPTIONS,
                          "This client holds %d subscriptions and may hold at most %d: cancel some first.",
                          held, kMaxSubscriptionsPerClient);
    return false;
  }
  // The others name subscriptions: each must be the client's own.
  for (const int id : requestedSubscriptions(request)) {
    const auto record = records.find(id);
    if (record != records.end() && record->second.client == key) continue;
    if (papplSystemFindSubscription(system, id) == nullptr) continue;  // the framework says it is not there
    papplClientRespondIPP(client, IPP_STATUS_ERROR_FORBIDDEN, "Subscription #%d belongs to another client.",
                          id);
    return false;
  }
  return true;
}

void finishSubscriptionRequest(pappl_client_t* client, appConfig* config) {
  const ipp_op_t op = papplClientGetOperation(client);
  ipp_t* response = papplClientGetResponse(client);
  pappl_printer_t* printer = papplClientGetPrinter(client);
  if (op == IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS || op == IPP_OP_CREATE_JOB_SUBSCRIPTIONS) {
    int jobId = 0;
    if (op == IPP_OP_CREATE_JOB_SUBSCRIPTIONS) {
      pappl_job_t* job = papplClientGetJob(client);
      jobId = job != nullptr
                  ? papplJobGetID(job)
                  : ippGetInteger(
                        ippFindAttribute(papplClientGetRequest(client), "notify-job-id", IPP_TAG_INTEGER), 0);
    }
    const std::string key = clientKey(client);
    std::lock_guard<std::mutex> hold(config->clients.lock);
    for (const subscriptionGroup& group : subscriptionGroups(response))
      if (group.id > 0)
        config->clients.subscriptions[group.id] = {key, printer != nullptr ? papplPrinterGetID(printer) : 0,
                                                   jobId};
    return;
  }
  if (op == IPP_OP_CANCEL_SUBSCRIPTION && ippGetStatusCode(response) == IPP_STATUS_OK) {
    std::lock_guard<std::mutex> hold(config->clients.lock);
    for (const int id : requestedSubscriptions(papplClientGetRequest(client)))
      if (const auto record = config->clients.subscriptions.find(id);
          record != config->clients.subscriptions.end())
        record->second.cancelled = true;
    return;
  }
  if (isTrustedClient(client)) return;
  if (op == IPP_OP_GET_SUBSCRIPTIONS) {
    const std::string key = clientKey(client);
    std::lock_guard<std::mutex> hold(config->clients.lock);
    keepOwnSubscriptions(response, [&](int id) {
      const auto record = config->clients.subscriptions.find(id);
      return record != config->clients.subscriptions.end() && record->second.client == key &&
             !record->second.cancelled;
    });
  } else if (op == IPP_OP_GET_NOTIFICATIONS) {
    hideJobValuesFromStranger(client, printer);
  }
}

bool jobPinned(appConfig* config, int printerId, int jobId) {
  if (config == nullptr) return false;
  std::lock_guard<std::mutex> hold(config->clients.lock);
  if (config->clients.pinned.count({printerId, jobId}) != 0) return true;
  bool pinned = false;
  for (auto& [id, record] : config->clients.subscriptions)
    if (record.jobId == jobId && record.printerId == printerId) {
      record.jobGone = true;
      pinned = true;
    }
  return pinned;
}

void releaseEndedSubscriptions(pappl_system_t* system, appConfig* config) {
  if (config == nullptr) return;
  // The framework drops a cancelled subscription within seconds; its job goes after it.
  for (const auto& [id, record] : liveSubscriptions(system, config))
    if (record.jobGone)
      if (pappl_subscription_t* subscription = papplSystemFindSubscription(system, id))
        papplSubscriptionCancel(subscription);
}
