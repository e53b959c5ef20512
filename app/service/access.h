// SPDX-License-Identifier: Apache-2.0
// Who may do what: a client on the machine itself or from the network, the administrator's password
// and the waits after wrong ones (SignIn.cpp), the server's own names and origins (Hosts.cpp), what a
// stranger sees (Access.cpp), the server a command talks to, and who made what: signed-in owners, the
// print group, subscriptions and jobs without a document by client (Owners.cpp). Part of the service
// room, included by its header (service.h).
#pragma once

#include "app/web/web.h"

// What an operation on a printer or a job asks of a client from the network.
enum accessNeed {
  kNeedNothing,  // printing, reading, subscriptions
  kNeedOwner,    // changing a job: its owner, or an administrator
  kNeedAdmin,    // changing the printer
};
accessNeed operationNeed(ipp_op_t op);

// 'usesPam()' / 'hasPassword()' - how administrators sign in from the network, if at all: through PAM
// (an auth-service is set), or with the administrator password.
bool usesPam(pappl_system_t* system);
bool hasPassword(pappl_system_t* system);

// 'isLocalClient()' - whether a client is on the machine itself.
bool isLocalClient(pappl_client_t* client);

// 'requestingUser()' - the name a client acts under: the authenticated user, else the
// requesting-user-name it sent, else "guest" (as the framework names a job's owner).
std::string requestingUser(pappl_client_t* client);

// 'hashPassword()' - the administrator password's stored form of earlier versions, "NONCE~HASH" (HASH
// the hexadecimal SHA-256 of "NONCE:PASSWORD"): with the nonce of 'salt', a stored hash, when it has
// one, else with 'freshNonce'. Such a hash is still checked (passwordMatches()) until the password
// next changes; new passwords are stored as newPasswordHash() makes them (SignIn.cpp).
std::string hashPassword(const char* salt, const char* password, const char* freshNonce);

// 'slowPasswordHash()' - the stored form of a new administrator password: yescrypt with a fresh random
// salt and the crypt library's default cost ("$y$..."), which fits the framework's 99 characters; ""
// when the library cannot make one.
std::string slowPasswordHash(const char* password);

// 'passwordMatches()' - whether 'password' is the one whose stored form is 'stored': a crypt hash
// ("$y$...", "$6$..."), or the "NONCE~HASH" of earlier versions. False for an empty stored form.
bool passwordMatches(const std::string& stored, const char* password);

// How a sign-in's waits grow: none before the first failure from an address, then kFirstSignInDelay
// milliseconds, doubled with each failure up to kLastSignInDelay. An attempt that would wait longer
// than kLongestSignInWait behind those of its address is refused unchecked; an address's failures are
// forgotten kForgetSignIns after its last one, and at most kSignInAddresses addresses are kept.
inline constexpr int64_t kFirstSignInDelay = 250;
inline constexpr int64_t kLastSignInDelay = 4000;
inline constexpr int64_t kLongestSignInWait = 8000;
inline constexpr int64_t kForgetSignIns = 15 * 60 * 1000;
inline constexpr size_t kSignInAddresses = 1024;
inline constexpr int kChecksAtOnce = 2;

// 'signInDelay()' - the milliseconds between checks from an address with 'failures' failures.
int64_t signInDelay(int failures);

// 'reserveSignIn()' - an attempt from 'address' at 'now' (monotonic milliseconds): how long it waits
// before its password is checked, its turn taken so that the address's next attempt waits behind it;
// -1 when it would wait longer than kLongestSignInWait and is refused unchecked.
int64_t reserveSignIn(signInGate* gate, const std::string& address, int64_t now);

// 'noteSignIn()' - the outcome of a checked attempt from 'address': a right one forgets its failures,
// a wrong one adds one and puts the address's next check signInDelay() after it.
void noteSignIn(signInGate* gate, const std::string& address, bool right, int64_t now);

// 'signInAddress()' - the address whose failures a client's sign-in counts towards: its IP address,
// an IPv6 one by its /64 network (one machine's share), "" for the domain socket.
std::string signInAddress(pappl_client_t* client);

// 'checkSignIn()' - whether 'check' finds a client's password right, once the client's address has
// waited its turn (reserveSignIn()) and one of kChecksAtOnce places is free; a wait ends early, the
// password unchecked, when the server stops. 'config' nullptr checks at once.
bool checkSignIn(appConfig* config, pappl_client_t* client, const std::function<bool()>& check);

// 'checkAdminPassword()' - the answer to a network client's Basic credentials when the administrator
// has set a password: continue (the client is named after the user it gave), unauthorized, or
// upgrade-required on a connection without TLS. A wrong password makes the address's next attempt
// wait (checkSignIn()).
http_status_t checkAdminPassword(pappl_client_t* client);

// A request's Host field split: its name (an IPv6 address without its brackets) and port, 0 for none.
struct hostField {
  std::string name;
  int port = 0;
};

// 'splitHostField()' - a Host field ("name", "name:port", "[v6]", "[v6]:port") split; false for one of
// no name, a bad port or a bare IPv6 address.
bool splitHostField(const std::string& field, hostField* split);

// The names and addresses by which the server is its own: the names in lower case without a final
// dot, the addresses as inet_ntop() writes them.
struct serverNames {
  std::vector<std::string> names;
  std::vector<std::string> addresses;
};

// 'ownServerNames()' - the server's names: localhost, the system's host name and the machine's, each
// with its ".local" name, and 'listenName' (the listen-hostname, "" for none); its addresses: those of
// the machine's interfaces (Hosts.cpp).
serverNames ownServerNames(pappl_system_t* system, const std::string& listenName);

// 'isServerHost()' - whether a Host field names the server: a loopback address (127.0.0.0/8, ::1, in
// brackets for IPv6), one of 'own' addresses, or one of its names, in any case, with or without a
// final dot, with any port. The other names a stranger's page may be served under, rebound to this
// machine, are not.
bool isServerHost(const std::string& field, const serverNames& own);

// 'isSameOrigin()' - whether a request's Origin field is the origin of its own Host field: the scheme
// of the connection (https on TLS), the same name in any case and the same port (80 or 443 when not
// given). "null" and anything else are not.
bool isSameOrigin(const std::string& origin, const std::string& host, bool encrypted);

// 'answerRequest()' - one request of a client through 'next' (the framework's), on the client's own
// thread: while it runs, requestClient() names the client and checkedHostField() checks its Host.
bool answerRequest(pappl_client_t* client, bool (*next)(pappl_client_t*));

// 'requestClient()' - the client whose request this thread answers, nullptr when none.
pappl_client_t* requestClient();

// 'checkedHostField()' - the field 'value' of 'http' as the framework is to see it: for the Host field
// of the request this thread answers, "" (which the framework answers 400 Bad Request) when the
// request is foreign (foreignRequestReason(), logged once), else 'value' as it is.
const char* checkedHostField(http_t* http, http_field_t field, const char* value);

// 'foreignRequestReason()' - why the server refuses a request whose Host field is 'host', "" when it
// takes it: on a loopback connection a Host that is none of the server's names ('listenName' one of
// them), and from anywhere a POST whose Origin is not the server's own origin.
std::string foreignRequestReason(pappl_client_t* client, const char* host, const std::string& listenName);

// 'hidePrivateJobValues()' - remove the job name and originating user and host of every job in an
// IPP response whose owner ('ownerOf' a job id, "" when unknown) is not 'viewer', in job groups and in
// event notifications (by their notify-job-id). A group without job-id, job-uri or notify-job-id
// counts as another's.
void hidePrivateJobValues(ipp_t* response, const std::string& viewer,
                          const std::function<std::string(int)>& ownerOf);

// 'respondRemoteAdminOff()' - the page a network client gets for an administrative page when no
// authentication is configured: 403 and how to enable remote administration.
void respondRemoteAdminOff(pappl_client_t* client);

// 'respondStrangerPrinterHome()' - a printer's page for a network client that is not an
// administrator: its status and its jobs, their names and owners hidden.
void respondStrangerPrinterHome(pappl_client_t* client, pappl_printer_t* printer);

// 'trustsServerPeer()' - whether the subcommands may talk to a server that listens as 'peer': root, the
// service's user ('service'; (uid_t)-1 when there is none) or the caller. Another local user who plants
// a socket where the subcommands look would otherwise receive their documents and answer in the
// server's name.
bool trustsServerPeer(uid_t peer, uid_t caller, uid_t service);

// 'checkServerPeer()' - whether the connected domain socket 'fd' leads to a server the caller may trust
// (trustsServerPeer(), the service's user being 'label-printer-app'): 0, or 1 with the reason.
int checkServerPeer(int fd, std::string* reason);

// The job attribute that names the account a signed-in client printed a job under: the server adds it
// (a client's own is dropped), and the job's file in the spool folder keeps it across a restart.
inline constexpr char kSignedInOwnerAttr[] = "smi55357-signed-in-owner";

// 'parseDoclessTimeout()' - the docless-job-timeout option's value: 0 and the seconds in *seconds, or 1
// for anything but a whole number from 1 to kMaxDoclessJobSeconds (*seconds is then left as it is).
int parseDoclessTimeout(const char* value, int* seconds);

// 'offersCredentials()' - whether a client sent a password or the web interface's sign-in cookie.
bool offersCredentials(pappl_client_t* client);

// 'isTrustedClient()' - whether a client is the machine itself or a signed-in administrator, who see
// and change every job and subscription (Owners.cpp).
bool isTrustedClient(pappl_client_t* client);

// 'signInClient()' - check the credentials a network client sent, if any: through PAM with the
// auth-service, else as the administrator password; a client that signs in is named after its account.
void signInClient(pappl_client_t* client);

// 'clientKey()' - who a network client is for its subscriptions and waiting jobs: its address, and the
// account it signed in with ("192.0.2.1 alice").
std::string clientKey(pappl_client_t* client);

// 'ownsJob()' - whether a client owns a job: a job printed by a signed-in client ('signedInOwner') only
// when the client signed in as that account ('account'), any other job when the client's
// requesting-user-name ('requesting') is the job's owner. 'clientOwnsJob()' - the same for a client and
// a job.
bool ownsJob(const std::string& owner, const std::string& signedInOwner, const std::string& account,
             const std::string& requesting);
bool clientOwnsJob(pappl_client_t* client, pappl_job_t* job);

// 'maySeeJobContent()' - whether a client may see what a job printed (its labels as printed): the
// machine itself, an administrator, or the job's owner signed in as its account (a name a client only
// claims is not enough for the job's content). A client that sent credentials is signed in first.
bool maySeeJobContent(pappl_client_t* client, pappl_job_t* job);

// 'markJobOwner()' - for a Print-Job or Create-Job request: sign the client in if it sent credentials,
// and make its job carry the account it signed in with.
void markJobOwner(pappl_client_t* client);

// 'hideJobValuesFromStranger()' - remove from the response to a network client that is not an
// administrator the names and owners of the jobs it does not own (job groups and event notifications).
void hideJobValuesFromStranger(pappl_client_t* client, pappl_printer_t* printer);

// 'userInGroup()' - whether the account 'user' is a member of 'group' (its primary group or another).
bool userInGroup(const char* user, const char* group);

// 'printGroupOf()' - the group a printer's print group setting names, else the server's default print
// group, "" for none.
std::string printGroupOf(pappl_printer_t* printer);

// 'admitPrinting()' - whether a client may print (Print-Job, Create-Job, Send-Document, ...): the
// machine itself, or with a print group set a member of it who signed in, or an administrator; else
// the client is answered client-error-not-authorized with the reason and false is returned.
bool admitPrinting(pappl_client_t* client);

// 'spoolFileJob()' - whether a name in the spool folder is one of a job's files as the framework names
// them ("p00001j000000042-label.ipp"): its printer's and job's ids in *printerId and *jobId.
bool spoolFileJob(const char* name, int* printerId, int* jobId);

// 'removeLeftoverSpoolFiles()' - at the start, once the state is read: remove the job files in the spool
// folder of jobs that do not wait to print (regular files of the framework's names only); how many.
int removeLeftoverSpoolFiles(pappl_system_t* system, const std::string& folder);

// 'admitDoclessJob()' - whether a network client may create another job without its document: fewer
// than kMaxDoclessJobsPerClient of its jobs wait for theirs; else it is answered server-error-busy.
// 'noteDoclessJob()' - after a Create-Job: the new job's client.
bool admitDoclessJob(pappl_client_t* client, appConfig* config);
void noteDoclessJob(pappl_client_t* client, appConfig* config);

// 'noteReceiving()' - a job's document starts or stops arriving (Send-Document): meanwhile the job is
// not overdue.
void noteReceiving(appConfig* config, pappl_printer_t* printer, pappl_job_t* job, bool receiving);

// 'startDoclessKeeper()' - the system's timer that ends, aborted, the jobs whose document has not come
// within the docless-job-timeout.
void startDoclessKeeper(pappl_system_t* system, appConfig* config);

// 'requestedSubscriptions()' - the subscription ids a request names (notify-subscription-id(s)), 0
// for a value that is no number; 'requestedSubscriptionCount()' - the subscription groups it brings.
std::vector<int> requestedSubscriptions(ipp_t* request);
int requestedSubscriptionCount(ipp_t* request);

// 'keepOwnSubscriptions()' - remove from a response every subscription group whose
// notify-subscription-id 'isOwn' does not take.
void keepOwnSubscriptions(ipp_t* response, const std::function<bool(int)>& isOwn);

// 'admitSubscriptionRequest()' - before a subscription operation of a network client that is not an
// administrator: a new subscription within the client's limit, a named one the client's own; else the
// client is answered and false is returned. 'finishSubscriptionRequest()' - after it: new subscriptions
// noted as the client's, other clients' subscriptions removed from Get-Subscriptions, other users' job
// names and owners from Get-Notifications.
bool admitSubscriptionRequest(pappl_client_t* client, appConfig* config);
void finishSubscriptionRequest(pappl_client_t* client, appConfig* config);

// 'jobPinned()' - whether the history must keep an ended job for now: a subscription still points at
// it (which is then let go, releaseEndedSubscriptions()), or it is being ended. Called with the
// printer locked.
bool jobPinned(appConfig* config, int printerId, int jobId);

// 'releaseEndedSubscriptions()' - cancel the subscriptions whose job the history would have dropped,
// and forget those the framework no longer has. Call with no printer locked.
void releaseEndedSubscriptions(pappl_system_t* system, appConfig* config);
