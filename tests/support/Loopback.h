// SPDX-License-Identifier: Apache-2.0
// Listening sockets on 127.0.0.1 for the tests' fake printers, each served by a thread of its own.
#pragma once

#include <thread>

// 'openLoopbackListener()' - a listening TCP socket on 127.0.0.1:'port' (0: any free port, the one
// taken in *boundPort) and a pipe that wakes the thread serving it; false if either fails.
bool openLoopbackListener(int port, int* listener, int* boundPort, int wakeup[2]);

// 'closeLoopbackListener()' - wake the serving thread through the pipe, join it and close both.
void closeLoopbackListener(std::thread* thread, int* listener, int wakeup[2]);
