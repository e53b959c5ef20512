// SPDX-License-Identifier: Apache-2.0
// rastertoxxx: the CUPS filter that turns a job's raster pages into label printer commands.
#include "filter/filter.h"

int main(int argc, char* argv[]) { return filterMain(argc, argv); }
