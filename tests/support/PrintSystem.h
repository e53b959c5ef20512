// SPDX-License-Identifier: Apache-2.0
// The real print system around the filter, for the end-to-end tests: private folders laid out as the
// scheduler expects, background services on loopback that are stopped even when a test fails, a fake
// printer that records what it receives, and the labels read back from the printer data.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/GrfReference.h"
#include "support/Loopback.h"
#include "support/PrinterData.h"

// 'makeTemporaryDirectory()' - a new folder under the temporary folder, mode 0755 so that the
// scheduler's unprivileged filters can reach what is inside; 'removeTree()' removes it again.
std::string makeTemporaryDirectory(const std::string& name);
void removeTree(const std::string& path);

// 'makeServerBin()' - a scheduler program folder at 'path': its filter/ holds links to the system's
// filters and a mode 0755 copy of the built rastertoxxx (owned by the user running the test: the print
// system accepts its own user's filters, and a scheduler run by root only root's); backend/ and daemon/ link
// the system's socket back end and helper programs.
void makeServerBin(const std::string& path);

// 'freeLoopbackPort()' - a TCP port on 127.0.0.1 that nothing listens on just now.
int freeLoopbackPort();

// A program running in the background, its standard output and error going to a log file. It is ended
// with the test process should that die first.
struct backgroundProcess {
  pid_t pid = -1;
};

// 'startBackground()' - start argv[0] with 'argv'; false if it could not be started.
bool startBackground(const std::vector<std::string>& argv, const std::string& logPath,
                     backgroundProcess* process);

// 'stopBackground()' - end the process (SIGTERM, then SIGKILL after 'graceSeconds') and reap it.
void stopBackground(backgroundProcess* process, int graceSeconds = 5);

// 'isRunning()' - whether the process is still alive (it is reaped if it has ended).
bool isRunning(backgroundProcess* process);

// A raw TCP printer on 127.0.0.1: each connection's bytes, in order of arrival, also written to
// 'directory'/connection-N.prn. One that 'takes' fewer bytes stops reading there and holds the
// connection, or closes it when it 'hangsUp'; one with 'pauseMicroseconds' reads slowly. One that
// does not 'keep' what it receives only counts how often 'counts' came in it (for runs of many jobs;
// the application sends jobs that follow each other on one connection).
struct fakePrinter {
  size_t takes = SIZE_MAX;
  bool hangsUp = false;
  bool keeps = true;
  std::string counts;
  unsigned pauseMicroseconds = 0;  // after each read of at most 64 KiB
  int port = 0;
  int listener = -1;
  int wakeup[2] = {-1, -1};
  std::string directory;
  std::thread thread;
  std::mutex mutex;
  std::vector<std::string> connections;  // the connections that have ended
  size_t found = 0;                      // how often 'counts' came in them
};

// 'startFakePrinter()' / 'stopFakePrinter()' - open and close the listener, on 'port' or (0) any free one.
bool startFakePrinter(const std::string& directory, fakePrinter* printer, int port = 0);
void stopFakePrinter(fakePrinter* printer);

// 'receivedConnections()' - a copy of the connections that have ended so far (none when the printer
// does not keep them); 'countedSoFar()' - how often its 'counts' came in them.
std::vector<std::string> receivedConnections(fakePrinter* printer);
size_t countedSoFar(fakePrinter* printer);

// A one-bit image, rows of (width + 7) / 8 bytes, a 1 bit is ink.
struct monoImage {
  unsigned width = 0;
  unsigned height = 0;
  bytes bits;
};

bool inkAt(const monoImage& image, unsigned x, unsigned y);

// 'readPgm()' - a binary PGM (P5) file's image, darker than middle grey as ink; false if the bytes are
// not one.
bool readPgm(const std::string& pgm, monoImage* image);

// 'decodeLabel()' - the page bitmap of a downloaded page, cut to 'width' x 'height' dots (the raster's
// own size, without the padding); false if its GRF text does not decode.
bool decodeLabel(const downloadedPage& page, unsigned width, unsigned height, monoImage* image);

// 'mirrored()' - the image flipped left to right.
monoImage mirrored(const monoImage& image);

// 'inkCoverage()' - the share of the ink dots of 'reference' that have ink in 'image' within 'radius'
// dots; two renderings of one drawing differ in edges by a dot or two, never in where the ink is.
double inkCoverage(const monoImage& reference, const monoImage& image, int radius);

// 'renderPdfPage()' - page 'page' (from 1) of a PDF file rendered at 'dpi' by poppler, a renderer
// other than the one in the print chain, in grey and then cut at middle grey (poppler's own one-bit
// output thins wide strokes to a dot).
bool renderPdfPage(const std::string& pdf, int page, int dpi, monoImage* image);

// 'readNumberedLabel()' - the number of a label of tests/data/numbered-labels.ps read back from its
// bitmap at 'dpi', with 'mirror' set when it reads mirrored; 0 when the bitmap is neither.
int readNumberedLabel(const monoImage& image, int dpi, bool* mirror);
