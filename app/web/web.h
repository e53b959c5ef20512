// SPDX-License-Identifier: Apache-2.0
// The web: the pages' words (Words.cpp), the printer's settings pages (SettingsPages.cpp), the test
// label (TestLabel.cpp) and each job's labels as printed on the pages of jobs (JobLabels.cpp).
#pragma once

#include <deque>

#include "app/documents/documents.h"

// 'addLabelWords()' - the pages' words for the application's settings, in every language the framework
// has, and the framework's words of the state reasons as items of a list (listWordsKey()); the words
// made here are kept in *kept, which outlives the system (Words.cpp).
void addLabelWords(pappl_system_t* system, std::deque<std::string>* kept);

// 'listItemWords()' - a sentence as an item of a list: without its closing full stop.
std::string listItemWords(const std::string& sentence);

// 'listWordsKey()' - the key of the words that stand for the words of 'key' on the status line, where
// the framework lists the state reasons and ends the list with a full stop: "" for any other key.
std::string listWordsKey(const char* key);

// What the test label says and its size in dots.
struct testLabelFacts {
  std::string name;   // the printer's
  std::string model;  // its make and model
  int dpi = 203;
  uint32_t width = 0, height = 0;
  int darkness = 50;    // percent
  int speedInches = 0;  // per second; 0 is the printer's own
};

// Where the test label's parts went, in dots from its top left corner. The label keeps the border and
// the barcode at every size; the other parts come in as the label has room for them whole, the ladder
// first, then the printer's name, the ruler, the settings, the size, the barcode's text and the model.
struct testLabelLayout {
  int margin = 0;          // between the label's edges and its parts
  int textLines = 0;       // lines of words above the ruler, the wrapped ones counted each
  bool ruler = false;      // the millimetre ruler
  int ladderSteps = 0;     // of lines 1, 2, 3 and 4 dots thick, from the thinnest
  std::string barcode;     // what the barcode holds
  int module = 0;          // dots a module
  int barX = 0, barY = 0;  // the bars' top left corner; a quiet zone of 10 modules on either side
  int barWidth = 0, barHeight = 0;
  bool barcodeText = false;  // its text beneath it
};

// 'drawTestLabel()' - the test label: the facts in words, a border one dot inside the edges, a
// millimetre ruler, a ladder of lines 1 to 4 dots thick, and a Code 128 barcode of
// testLabelBarcode(name), laid out for the label's size ('layout', when given, says where). The barcode
// and its quiet zones always lie whole inside the border: as wide a module as fits, else one dot a
// module, else as many of the name's first characters as fit. False for a label too small for one.
bool drawTestLabel(const testLabelFacts& facts, greyImage* label, testLabelLayout* layout = nullptr);

// 'testLabelBarcode()' - what the test label's barcode holds: the printer's name in printable ASCII.
std::string testLabelBarcode(const std::string& printerName);

// 'writeTestLabel()' - the driver's test page callback: the test label for the loaded labels as a PNG
// file in the spool folder, its path in 'buffer'; nullptr when it cannot be written.
const char* writeTestLabel(pappl_printer_t* printer, char* buffer, size_t size);

// 'showDefaultsPage()' / 'showMediaPage()' - the printer's Printing Defaults and Media pages in label
// words, in the framework's place; their forms save the settings they show. An administrator's.
void showDefaultsPage(pappl_client_t* client, pappl_printer_t* printer);
void showMediaPage(pappl_client_t* client, pappl_printer_t* printer);

// 'showPrinterStatus()' - a printer's status on its page and the server's: the framework's state line
// and actions ('next'), then the printer's own lines (what it is, why it cannot be reached, the trouble
// it reports) as text, one sentence each (SettingsPages.cpp).
void showPrinterStatus(pappl_printer_t* printer, pappl_client_t* client,
                       void (*next)(pappl_printer_t*, pappl_client_t*));

// 'pageWords()' - the framework's words for 'key' on a page ('next'), but for the state reasons on the
// status line, which lists them and ends with a full stop: there the application's words without the
// framework's own full stop (addLabelWords()); and where the page that adds printers would say the
// driver could not be used for a printer that could not be asked what it is, why (SettingsPages.cpp).
const char* pageWords(pappl_client_t* client, const char* key,
                      const char* (*next)(pappl_client_t*, const char*));

// The page under a printer's path that serves a job's labels as printed: ?job=ID&label=N (from 1).
inline constexpr char kJobLabelPage[] = "label";

// 'jobLabelPath()' - the path of a job's label image 'index' (from 0); "" when there is none.
std::string jobLabelPath(pappl_printer_t* printer, int jobId, size_t index);

// 'showJobLabels()' - the first labels a job printed, as images drawn from the printer data sent, on
// a page of jobs: nothing for a job that printed none yet. The page is one that may show the job's
// content to its client (the job's owner, the machine itself or an administrator); each image's page
// checks again.
void showJobLabels(pappl_client_t* client, pappl_job_t* job);

// 'sendJobLabel()' - answer with a job's label image 'index' (from 0) as image/png, or 404 when there is
// none; for a client that may see the job's content.
bool sendJobLabel(pappl_client_t* client, pappl_job_t* job, size_t index);

// What a job's state is told from: its state, reasons and message, its printer's state and reasons,
// and when it ended as the page tells the time ("14:02").
struct jobStateFacts {
  ipp_jstate_t state = IPP_JSTATE_PENDING;
  pappl_jreason_t jobReasons = PAPPL_JREASON_NONE;
  std::string message;
  ipp_pstate_t printerState = IPP_PSTATE_IDLE;
  pappl_preason_t printerReasons = PAPPL_PREASON_NONE;
  std::string endedAt;
};

// 'jobStateWords()' - a job's state and its reason as one sentence with one full stop: "Waiting: the
// printer cannot be reached.", "Stopped: paper out.", "Printing.", "Held.", "Completed at 14:02.",
// "Aborted: the document could not be read." (JobPages.cpp).
std::string jobStateWords(const jobStateFacts& facts);

// Who looks at a page of jobs: an administrator (the machine itself, or signed in) sees and changes
// every job, an account signed in its own jobs, anyone else none.
struct jobViewer {
  bool administrator = false;
  std::string account;
};

// What the pages of jobs ask of the rooms above: who the client is (asked once a page); whether a
// viewer may see a job's name and owner and cancel or reprint it (its owner, or an administrator);
// whether the client may send the pages' forms at all (false when it was answered, with the sign-in
// page or the reason; else who it is in *viewer); and a reprint of an ended job's kept document as a new job, with what was done
// or why not in *words.
struct jobPageRules {
  jobViewer (*viewerOf)(pappl_client_t* client);
  bool (*mayChange)(const jobViewer& viewer, pappl_job_t* job);
  bool (*maySendForm)(pappl_client_t* client, jobViewer* viewer);
  bool (*reprint)(pappl_job_t* job, std::string* words);
};

// 'showJobsPage()' - the jobs of one printer ('printer'), or of every printer of 'system' (printer
// nullptr), newest first, each with its printer, name and owner (hidden from strangers), labels
// printed, its state in words, and Cancel and Reprint for those who may; the forms' actions done
// first (JobPages.cpp).
void showJobsPage(pappl_client_t* client, pappl_system_t* system, pappl_printer_t* printer,
                  const jobPageRules& rules);

// 'keptDocument()' - whether an ended job's document is still kept, for a reprint.
bool keptDocument(pappl_job_t* job);

// 'showJobLabels()' - the first labels a job printed, as images drawn from the printer data sent, on
// a page of jobs: nothing for a job that printed none yet.
void showJobLabels(pappl_client_t* client, pappl_job_t* job);
