// SPDX-License-Identifier: Apache-2.0
#include "support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

processResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::vector<std::string>& environment) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "PPD=", 4) != 0) envStrings.emplace_back(*e);
  envStrings.insert(envStrings.end(), environment.begin(), environment.end());

  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    std::vector<char*> args, env;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : envStrings) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);

  processResult result{{}, {}, -1};
  size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  } else {
    fcntl(inFd, F_SETFL, fcntl(inFd, F_GETFL) | O_NONBLOCK);  // never block while the child's output waits
  }
  bool outOpen = true, errOpen = true;
  char buffer[65536];
  while (outOpen || errOpen) {
    pollfd fds[3];
    int n = 0;
    if (outOpen) fds[n++] = {out[0], POLLIN, 0};
    if (errOpen) fds[n++] = {err[0], POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    if (poll(fds, n, -1) < 0) continue;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inFd) {
        const ssize_t w = write(inFd, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if ((w < 0 && errno != EAGAIN) || written == input.size()) {
          close(inFd);
          inFd = -1;
        }
      } else {
        const ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
        if (r <= 0) {
          close(fds[i].fd);
          (fds[i].fd == out[0] ? outOpen : errOpen) = false;
        } else {
          (fds[i].fd == out[0] ? result.out : result.err).append(buffer, static_cast<size_t>(r));
        }
      }
    }
  }
  if (inFd >= 0) close(inFd);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string temporaryPath(const std::string& name) {
  static int counter = 0;
  const char* base = std::getenv("TMPDIR");
  return std::string(base != nullptr ? base : "/tmp") + "/labeltest-" + std::to_string(getpid()) + "-" +
         std::to_string(++counter) + "-" + name;
}
