// SPDX-License-Identifier: Apache-2.0
// The pages of jobs: every printer's jobs on one page (/jobs), and each printer's own (/PRINTER/jobs),
// in place of the framework's, whose jobs page was an administrator's only and said "Started at" for a
// job that waits for its printer. Each job's state is told in words with its reason; its owner or an
// administrator may cancel it, or reprint it once it has ended while its document is kept.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/web/web.h"

namespace {

// The jobs each printer shows on a page, newest first.
inline constexpr int kJobsShown = 50;

// The words of the printer's state reasons that keep a job from printing, the weightiest first.
struct reasonWords {
  pappl_preason_t reason;
  const char* words;
};
inline constexpr reasonWords kReasonWords[] = {
    {PAPPL_PREASON_OFFLINE, "the printer cannot be reached"},
    {PAPPL_PREASON_MEDIA_EMPTY, "paper out"},
    {PAPPL_PREASON_MEDIA_JAM, "the labels are jammed"},
    {PAPPL_PREASON_COVER_OPEN, "the print head is open"},
    {PAPPL_PREASON_DOOR_OPEN, "a door is open"},
    {PAPPL_PREASON_MARKER_SUPPLY_EMPTY, "the ribbon is out"},
    {PAPPL_PREASON_MEDIA_NEEDED, "labels are needed"},
    {PAPPL_PREASON_SPOOL_AREA_FULL, "the printer's memory is full"},
    {PAPPL_PREASON_OTHER, "the printer reports trouble"},
};

// The reasons of those that hold the printer's jobs for certain.
inline constexpr unsigned kHoldingReasons = PAPPL_PREASON_OFFLINE | PAPPL_PREASON_MEDIA_EMPTY |
                                            PAPPL_PREASON_MEDIA_JAM | PAPPL_PREASON_COVER_OPEN |
                                            PAPPL_PREASON_DOOR_OPEN | PAPPL_PREASON_MARKER_SUPPLY_EMPTY |
                                            PAPPL_PREASON_MEDIA_NEEDED | PAPPL_PREASON_SPOOL_AREA_FULL;

// 'troubleWords()' - why the printer does not print, "" when nothing keeps it.
std::string troubleWords(pappl_preason_t reasons) {
  for (const reasonWords& r : kReasonWords)
    if ((reasons & r.reason) != 0) return r.words;
  return "";
}

// 'clauseOf()' - a message as the part of a sentence after its colon: without its closing full stops,
// its first letter small unless it begins a name ("PDF").
std::string clauseOf(const std::string& message) {
  std::string clause = listItemWords(message);
  if (clause.size() > 1 && std::isupper(static_cast<unsigned char>(clause[0])) &&
      std::islower(static_cast<unsigned char>(clause[1])))
    clause[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(clause[0])));
  return clause;
}

// 'sentence()' - "Head: detail." or "Head.".
std::string sentence(const std::string& head, const std::string& detail) {
  return detail.empty() ? head + "." : head + ": " + detail + ".";
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// 'clockOf()' - when a job ended, as the page tells it: the time of day today, else the date too.
std::string clockOf(time_t when) {
  if (when <= 0) return "";
  tm ended{}, today{};
  const time_t now = time(nullptr);
  localtime_r(&when, &ended);
  localtime_r(&now, &today);
  char text[64];
  const bool sameDay = ended.tm_year == today.tm_year && ended.tm_yday == today.tm_yday;
  std::strftime(text, sizeof text, sameDay ? "%H:%M" : "%Y-%m-%d %H:%M", &ended);
  return text;
}

// 'factsOf()' - what a job's state words are made of.
jobStateFacts factsOf(pappl_job_t* job) {
  jobStateFacts facts;
  pappl_printer_t* printer = papplJobGetPrinter(job);
  facts.state = papplJobGetState(job);
  facts.jobReasons = papplJobGetReasons(job);
  if (const char* message = papplJobGetMessage(job)) facts.message = message;
  facts.printerState = papplPrinterGetState(printer);
  facts.printerReasons = papplPrinterGetReasons(printer);
  facts.endedAt = clockOf(papplJobGetTimeCompleted(job));
  return facts;
}

// What one page of jobs is showing, for the rows.
struct jobsPage {
  pappl_client_t* client;
  const jobPageRules* rules;
  jobViewer viewer;
  std::string action;  // the page's own path, where its forms go
  bool allPrinters;
};

// 'jobRow()' - one job's row: its printer (on the page of every printer's jobs), number, name and
// owner (hidden from strangers), labels printed and the first of them, state in words, and the
// actions the client may take.
void jobRow(pappl_job_t* job, void* data) {
  const auto* page = static_cast<const jobsPage*>(data);
  pappl_client_t* client = page->client;
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const bool mayChange = page->rules->mayChange(page->viewer, job);
  const char* hidden = papplClientGetLocString(client, "(hidden)");
  const char* name = papplJobGetName(job);
  const char* owner = papplJobGetUsername(job);
  papplClientHTMLPuts(client, "              <tr>");
  if (page->allPrinters) {
    char path[256];
    papplClientHTMLPrintf(client, "<td><a href=\"%s\">%s</a></td>",
                          papplPrinterGetPath(printer, nullptr, path, sizeof path),
                          papplPrinterGetName(printer));
  }
  papplClientHTMLPrintf(client, "<td>%d</td><td>%s</td><td>%s</td><td>%d", papplJobGetID(job),
                        mayChange ? (name != nullptr ? name : "") : hidden,
                        mayChange ? (owner != nullptr ? owner : "") : hidden,
                        papplJobGetImpressionsCompleted(job));
  if (mayChange) showJobLabels(client, job);
  papplClientHTMLPrintf(client, "</td><td class=\"job-state\">%s</td><td>",
                        jobStateWords(factsOf(job)).c_str());
  const ipp_jstate_t state = papplJobGetState(job);
  const bool ended = state >= IPP_JSTATE_CANCELED;
  if (mayChange && (!ended || keptDocument(job))) {
    papplClientHTMLStartForm(client, page->action.c_str(), false);
    papplClientHTMLPrintf(client,
                          "<input type=\"hidden\" name=\"printer-id\" value=\"%d\">"
                          "<input type=\"hidden\" name=\"job-id\" value=\"%d\">"
                          "<input type=\"hidden\" name=\"action\" value=\"%s\">"
                          "<input type=\"submit\" value=\"%s\"></form>",
                          papplPrinterGetID(printer), papplJobGetID(job),
                          ended ? "reprint-job" : "cancel-job",
                          ended ? "Reprint" : papplClientGetLocString(client, "Cancel Job"));
  }
  papplClientHTMLPuts(client, "</td></tr>\n");
}

// 'formNumber()' - a form's whole positive number, 0 for anything else.
int formNumber(const char* value) {
  if (value == nullptr || value[0] == '\0') return 0;
  char* end = nullptr;
  const long number = std::strtol(value, &end, 10);
  return *end == '\0' && number > 0 && number <= 0x7FFFFFFF ? static_cast<int>(number) : 0;
}

// 'doJobAction()' - a form's cancel or reprint of one job: the words of the banner. The printer of
// the page of one printer, else the one the form names.
std::string doJobAction(pappl_client_t* client, pappl_system_t* system, pappl_printer_t* printer,
                        const jobPageRules& rules, const jobViewer& viewer) {
  cups_option_t* form = nullptr;
  const int count = papplClientGetForm(client, &form);
  std::string words;
  const char* action = cupsGetOption("action", count, form);
  const int jobId = formNumber(cupsGetOption("job-id", count, form));
  if (printer == nullptr)
    printer = papplSystemFindPrinter(system, nullptr, formNumber(cupsGetOption("printer-id", count, form)),
                                     nullptr);
  pappl_job_t* job = printer != nullptr && jobId != 0 ? papplPrinterFindJob(printer, jobId) : nullptr;
  if (count == 0 || !papplClientIsValidForm(client, count, form)) {
    words = "The form was not sent from this page; load the page again and retry.";
  } else if (job == nullptr) {
    words = "There is no such job (it may have left the history).";
  } else if (!rules.mayChange(viewer, job)) {
    words = "Only the job's owner or an administrator may change it.";
  } else if (action != nullptr && std::strcmp(action, "cancel-job") == 0) {
    if (papplJobGetState(job) >= IPP_JSTATE_CANCELED) {
      words = "Job " + std::to_string(jobId) + " has ended already.";
    } else {
      papplJobCancel(job);
      words = "Job " + std::to_string(jobId) + " cancelled.";
    }
  } else if (action != nullptr && std::strcmp(action, "reprint-job") == 0) {
    std::string reason;
    words = rules.reprint(job, &reason) ? reason : "Not reprinted: " + clauseOf(reason) + ".";
  } else {
    words = "Unknown action.";
  }
  cupsFreeOptions(count, form);
  return words;
}

// 'showPrinterJobs()' - the rows of a printer's newest jobs.
void showPrinterJobs(pappl_printer_t* printer, jobsPage* page) {
  papplPrinterIterateAllJobs(printer, jobRow, page, 1, kJobsShown);
}

// 'tableHead()' - the head of the table of jobs.
void tableHead(pappl_client_t* client, bool allPrinters) {
  papplClientHTMLPuts(
      client, "          <table class=\"list\" summary=\"Jobs\">\n            <thead>\n              <tr>");
  if (allPrinters) papplClientHTMLPrintf(client, "<th>%s</th>", papplClientGetLocString(client, "Printer"));
  papplClientHTMLPrintf(client, "<th>%s</th><th>%s</th><th>%s</th><th>%s</th><th>%s</th><th></th></tr>\n",
                        papplClientGetLocString(client, "Job #"), papplClientGetLocString(client, "Name"),
                        papplClientGetLocString(client, "Owner"), "Labels printed",
                        papplClientGetLocString(client, "Status"));
  papplClientHTMLPuts(client, "            </thead>\n            <tbody>\n");
}

// Whether any printer has jobs, and whether one is printing.
struct jobsCount {
  int jobs = 0;
  bool printing = false;
};

void countJobs(pappl_printer_t* printer, void* data) {
  auto* count = static_cast<jobsCount*>(data);
  count->jobs += papplPrinterGetNumberOfJobs(printer);
  count->printing = count->printing || papplPrinterGetNumberOfActiveJobs(printer) > 0;
}

void allPrinterRows(pappl_printer_t* printer, void* data) {
  showPrinterJobs(printer, static_cast<jobsPage*>(data));
}

}  // namespace

std::string jobStateWords(const jobStateFacts& facts) {
  const std::string trouble = troubleWords(facts.printerReasons);
  const std::string message = clauseOf(facts.message);
  switch (facts.state) {
    case IPP_JSTATE_PENDING:
      if (!trouble.empty()) return sentence("Waiting", trouble);
      if (facts.printerState == IPP_PSTATE_STOPPED) return sentence("Waiting", "the printer is paused");
      return sentence("Waiting", "in the queue");
    case IPP_JSTATE_HELD:
      return sentence("Held", facts.printerState == IPP_PSTATE_STOPPED ? "the printer is paused" : "");
    case IPP_JSTATE_PROCESSING:
      // A job that waits for its printer to be reached, or to be ready, says so in its message.
      if (startsWith(facts.message, "Waiting")) return sentence(listItemWords(facts.message), "");
      // Trouble the printer reports holds the job; a reason of its own ('other') alone may not.
      if ((facts.jobReasons & PAPPL_JREASON_PRINTER_STOPPED) != 0 ||
          (facts.printerReasons & kHoldingReasons) != 0)
        return sentence("Stopped", trouble.empty() ? "the printer stopped" : trouble);
      return sentence("Printing", "");
    case IPP_JSTATE_STOPPED:
      return sentence("Stopped", !trouble.empty()   ? trouble
                                 : !message.empty() ? message
                                                    : "the printer stopped");
    case IPP_JSTATE_CANCELED:
      return sentence(facts.endedAt.empty() ? "Cancelled" : "Cancelled at " + facts.endedAt, "");
    case IPP_JSTATE_ABORTED: {
      std::string why = startsWith(facts.message, "Waiting") ? "" : message;
      if (why.empty() && (facts.jobReasons & PAPPL_JREASON_DOCUMENT_FORMAT_ERROR) != 0)
        why = "the document could not be read";
      if (why.empty() && (facts.jobReasons & PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR) != 0)
        why = "the document cannot be printed on these labels";
      if (why.empty()) why = "the printer could not print it";
      return sentence("Aborted", why);
    }
    case IPP_JSTATE_COMPLETED:
      return sentence(facts.endedAt.empty() ? "Completed" : "Completed at " + facts.endedAt, "");
  }
  return sentence("Unknown", "");
}

bool keptDocument(pappl_job_t* job) {
  const char* file = papplJobGetFilename(job);
  struct stat info;
  return papplJobGetState(job) >= IPP_JSTATE_CANCELED && file != nullptr && stat(file, &info) == 0 &&
         S_ISREG(info.st_mode);
}

void showJobsPage(pappl_client_t* client, pappl_system_t* system, pappl_printer_t* printer,
                  const jobPageRules& rules) {
  std::string banner;
  jobViewer viewer;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    if (!rules.maySendForm(client, &viewer)) return;
    // A sign-in sent to this page turns it into the page itself.
    if (papplClientGetMethod(client) == HTTP_STATE_POST)
      banner = doJobAction(client, system, printer, rules, viewer);
  } else {
    viewer = rules.viewerOf(client);
  }
  jobsCount count;
  if (printer != nullptr)
    countJobs(printer, &count);
  else
    papplSystemIteratePrinters(system, countJobs, &count);
  // While jobs wait or print the page follows them.
  const int refresh = count.printing ? 5 : 0;
  jobsPage page{client, &rules, viewer, "", printer == nullptr};
  if (printer != nullptr) {
    char path[256];
    page.action = papplPrinterGetPath(printer, "jobs", path, sizeof path);
    papplClientHTMLPrinterHeader(client, printer, "Jobs", refresh, nullptr, nullptr);
  } else {
    page.action = "/jobs";
    if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0)) return;
    papplClientHTMLHeader(client, "Jobs", refresh);
    papplClientHTMLPrintf(
        client,
        "    <div class=\"content\">\n      <div class=\"row\">\n        <div class=\"col-12\">\n"
        "          <h1 class=\"title\">%s</h1>\n",
        papplClientGetLocString(client, "Jobs"));
  }
  if (!banner.empty())
    papplClientHTMLPrintf(client, "          <div class=\"banner\">%s</div>\n", banner.c_str());
  if (count.jobs > 0) {
    tableHead(client, page.allPrinters);
    if (printer != nullptr)
      showPrinterJobs(printer, &page);
    else
      papplSystemIteratePrinters(system, allPrinterRows, &page);
    papplClientHTMLPuts(client, "            </tbody>\n          </table>\n");
  } else {
    papplClientHTMLPrintf(client, "          <p>%s</p>\n",
                          papplClientGetLocString(client, "No jobs in history."));
  }
  if (printer != nullptr) {
    papplClientHTMLPrinterFooter(client);
  } else {
    papplClientHTMLPuts(client, "        </div>\n      </div>\n    </div>\n");
    papplClientHTMLFooter(client);
  }
}
