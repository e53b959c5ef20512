// SPDX-License-Identifier: Apache-2.0
// The labels a job printed, on the pages of jobs: none drawn yet.
#include "app/web/web.h"

void showJobLabels(pappl_client_t*, pappl_job_t*) {}
