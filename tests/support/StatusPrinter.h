// SPDX-License-Identifier: Apache-2.0
// A fake two-way label printer on 127.0.0.1 for the tests of status reporting: it records what each
// connection sends, like the one-way fake printer, and answers every host status query in the stream
// ("~HS") with whatever its script says at that moment: a status, garbage, an answer cut into small
// pieces, a huge answer, or nothing at all; and every identification query ("~HI") likewise.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands/commands.h"

struct statusPrinter {
  int port = 0;
  int listener = -1;
  int wakeup[2] = {-1, -1};
  std::thread thread;
  std::mutex mutex;
  // The script, read under 'mutex' at each query.
  std::string answer;     // the bytes answered to each query
  bool silent = false;    // answer nothing
  size_t pieceBytes = 0;  // when non-zero, the answer goes out in pieces this long, 5 ms apart
  std::string identity;   // the bytes answered to each identification query ("~HI"); none when empty
  // What happened.
  std::vector<std::string> connections;  // the bytes of each connection that has ended
  int queries = 0;                       // the queries answered (or left unanswered) so far
};

// 'startStatusPrinter()' / 'stopStatusPrinter()' - open and close the listener; the printer answers
// 'answer' until told otherwise.
bool startStatusPrinter(const std::string& answer, statusPrinter* printer);
void stopStatusPrinter(statusPrinter* printer);

// 'setStatusScript()' - what the printer answers to the next queries.
void setStatusScript(statusPrinter* printer, const std::string& answer, bool silent = false,
                     size_t pieceBytes = 0);

// 'setIdentity()' - what the printer answers to the next identification queries ("" nothing).
void setIdentity(statusPrinter* printer, const std::string& identity);

// 'identityAnswer()' - the framed line a printer with a head of 'dotsPerMm' answers to "~HI".
std::string identityAnswer(int dotsPerMm, const std::string& model = "LP-4",
                           const std::string& version = "V1.2.3");

// 'statusQueries()' - the number of queries the printer has seen.
int statusQueries(statusPrinter* printer);

// 'statusConnections()' - a copy of the connections that have ended so far.
std::vector<std::string> statusConnections(statusPrinter* printer);

// 'hostStatusAnswer()' - the three framed lines a printer answers to "~HS" when in 'status'.
std::string hostStatusAnswer(const hostStatus& status);

// 'readyStatus()' - a printer with nothing to report: thermal transfer, tear-off, 1,218-dot labels.
hostStatus readyStatus();
