// SPDX-License-Identifier: Apache-2.0
// The filter driver: settings from the PPD and the job options, and the raster page loop.
#pragma once

#include <cups/ppd.h>

#include "commands/commands.h"

// 'getOptionChoiceIndex()' - the leading decimal number of the option's marked choice keyword, else of
// its default choice keyword; -1 when the PPD has neither (or no such option), or when the number does
// not fit in 32 bits.
int getOptionChoiceIndex(const char* choiceName, ppd_file_t* ppd);

// 'initializeSettings()' - fill 'settings' from the PPD named by the PPD environment variable, with the
// job options string overriding its defaults. Without a readable PPD the model number is 0 and every
// option field is -1.
void initializeSettings(const char* commandLineOptionSettings, settings_* settings);

// 'installSignalHandlers()' - SIGTERM cancels the job (the current graphic is finished and deleted
// unprinted), SIGPIPE is ignored so that a closed output shows up as a write error.
void installSignalHandlers();

// 'filterRasterPages()' - the page loop: read raster pages from 'fd', write the printer data of each to
// standard output, and end with the scheduler log line on standard error. Returns the exit status.
int filterRasterPages(int fd, const settings_& settings);

// 'filterMain()' - the whole filter: arguments as the scheduler passes them, PPD from the environment.
// Returns the exit status.
int filterMain(int argc, char* argv[]);
