// SPDX-License-Identifier: GPL-2.0-or-later
//
// label-pdf-render: renders the pages of one PDF document for the Printer Application, in a process
// of its own. It links poppler, which is GPL-2.0-or-later, so it is a separate program under that
// licence; the application (Apache-2.0) only talks to it through two pipes, and bounds its memory and
// its time (app/documents/Pdf.cpp).
//
//   label-pdf-render FILE MAXPAGES
//
// FILE may be /dev/fd/N, a descriptor open for reading (the application's way: the renderer may run as
// a user who could not open the spooled file). Once the document is open, the renderer confines its
// own system calls: no sockets, no programs, no processes but its own threads, no signals to others,
// no files opened for writing, created, removed, renamed or changed; reading files (the fonts) stays.
//
// Its first line on standard output is "pages N", or "error TEXT" (it then ends). Then it answers each
// command line on standard input:
//
//   size PAGE                    "size WIDTH HEIGHT": the page as it is shown, in points
//   render PAGE DPI X Y W H      "image W H" and W x H bytes of 8-bit grey (255 white), rows from the
//                                top: the part of the page at X, Y (W x H dots) rendered at DPI
//   probe FOLDER                 "probe" and, for each thing the confinement forbids, its name and
//                                "=ok" when it was done or "=" and the error's name: a socket, a file
//                                created in FOLDER, FOLDER/probe opened for writing, removed and
//                                renamed, a program run, a process made, a signal to the parent
//
// or "error TEXT". Pages count from 0. Anti-aliasing is off, for text and vector art alike, so that
// the edges of bars and letters stay where they are; glyphs are hinted to the printer's grid.
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef LABEL_WITH_SECCOMP
#include <seccomp.h>
#endif
#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-global.h>
#include <poppler/cpp/poppler-image.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// The largest region rendered at once, in dots: the application never asks for more than a label.
constexpr long kMaxDots = 64L << 20;

void answer(const char* format, double a = 0, double b = 0) {
  std::printf(format, a, b);
  std::fflush(stdout);
}

void fail(const std::string& text) {
  std::printf("error %s\n", text.c_str());
  std::fflush(stdout);
}

// 'mapDocument()' - the document's bytes, mapped read-only from FILE or from the descriptor
// /dev/fd/N names; nullptr when it cannot be read.
const char* mapDocument(const char* file, size_t* size) {
  int fd = -1;
  bool own = true;
  if (std::strncmp(file, "/dev/fd/", 8) == 0 && file[8] >= '0' && file[8] <= '9') {
    char* end = nullptr;
    const long number = std::strtol(file + 8, &end, 10);
    if (*end == '\0' && number >= 0 && number < 1024) fd = static_cast<int>(number), own = false;
  }
  if (own) fd = open(file, O_RDONLY | O_CLOEXEC);
  struct stat info;
  void* bytes = MAP_FAILED;
  if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
      info.st_size < (off_t{1} << 31))
    bytes = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (fd >= 0) close(fd);
  if (bytes == MAP_FAILED) return nullptr;
  *size = static_cast<size_t>(info.st_size);
  return static_cast<const char*>(bytes);
}

// 'confine()' - the filter on the renderer's own system calls (see the top); false when it cannot be
// made, and the renderer then renders nothing. A call it denies fails with EPERM, so that libraries
// that try (fontconfig writing its cache) go on without.
bool confine() {
#ifdef LABEL_WITH_SECCOMP
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr) return false;
  const uint32_t deny = SCMP_ACT_ERRNO(EPERM);
  // clang-format off
  static const char* const denied[] = {
      // the network, and messages to other processes
      "socket", "socketpair", "connect", "bind", "listen", "accept", "accept4", "socketcall", "sendto",
      "sendmsg", "sendmmsg", "shmget", "shmat", "msgget", "msgsnd", "semget", "mq_open",
      // programs, processes, and reaching into others
      "execve", "execveat", "fork", "vfork", "ptrace", "process_vm_readv", "process_vm_writev",
      "pidfd_open", "pidfd_getfd", "pidfd_send_signal", "tkill", "unshare", "setns",
      // files made, removed, renamed or changed
      "creat", "unlink", "unlinkat", "rmdir", "rename", "renameat", "renameat2", "link", "linkat",
      "symlink", "symlinkat", "mkdir", "mkdirat", "mknod", "mknodat", "truncate", "ftruncate",
      "fallocate", "chmod", "fchmod", "fchmodat", "chown", "fchown", "lchown", "fchownat", "utime",
      "utimes", "utimensat", "futimesat", "setxattr", "lsetxattr", "fsetxattr", "removexattr",
      "lremovexattr", "fremovexattr", "mount", "umount2", "pivot_root", "chroot", "open_by_handle_at",
      "name_to_handle_at", "memfd_create", "inotify_init", "inotify_init1", "fanotify_init",
      // ways around a filter, and the kernel's own facilities
      "io_uring_setup", "io_uring_enter", "io_uring_register", "bpf", "perf_event_open", "userfaultfd",
      "keyctl", "add_key", "request_key"};
  // clang-format on
  bool made = true;
  for (const char* name : denied) {
    const int call = seccomp_syscall_resolve_name(name);
    if (call != __NR_SCMP_ERROR) made = made && seccomp_rule_add(filter, deny, call, 0) == 0;
  }
  // Files open for reading only: any other access mode, creating or truncating is denied. The calls
  // that take their flags in a structure are answered as unknown, so that the C library uses these.
  for (const auto& [name, flags] : {std::pair{"open", 1u}, {"openat", 2u}}) {
    const int call = seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR) continue;
    for (const scmp_datum_t bits : {scmp_datum_t{O_WRONLY}, scmp_datum_t{O_RDWR}, scmp_datum_t{O_ACCMODE}})
      made = made && seccomp_rule_add(filter, deny, call, 1,
                                      SCMP_CMP(flags, SCMP_CMP_MASKED_EQ, O_ACCMODE, bits)) == 0;
    for (const scmp_datum_t bit : {scmp_datum_t{O_CREAT}, scmp_datum_t{O_TRUNC}, scmp_datum_t{O_APPEND}})
      made =
          made && seccomp_rule_add(filter, deny, call, 1, SCMP_CMP(flags, SCMP_CMP_MASKED_EQ, bit, bit)) == 0;
  }
  for (const char* name : {"openat2", "clone3"}) {
    const int call = seccomp_syscall_resolve_name(name);
    if (call != __NR_SCMP_ERROR)
      made = made && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), call, 0) == 0;
  }
  // Threads of its own, no other process.
  made = made && seccomp_rule_add(filter, deny, SCMP_SYS(clone), 1,
                                  SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)) == 0;
  // Signals to itself only (abort() signals itself).
  const scmp_datum_t self = static_cast<scmp_datum_t>(getpid());
  for (const char* name : {"kill", "tgkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo"}) {
    const int call = seccomp_syscall_resolve_name(name);
    if (call != __NR_SCMP_ERROR)
      made = made && seccomp_rule_add(filter, deny, call, 1, SCMP_A0(SCMP_CMP_NE, self)) == 0;
  }
  made = made && seccomp_load(filter) == 0;
  seccomp_release(filter);
  return made;
#else
  return true;
#endif
}

// 'outcome()' - "=ok", or "=" and the error's name.
std::string outcome(bool done) {
  if (done) return "=ok";
  const char* name = strerrorname_np(errno);
  return std::string("=") + (name != nullptr ? name : std::to_string(errno).c_str());
}

// 'probe()' - try what the confinement forbids, in FOLDER, and say what happened.
void probe(const std::string& folder) {
  std::string result = "probe";
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  result += " socket" + outcome(fd >= 0);
  if (fd >= 0) close(fd);
  fd = open((folder + "/created").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  result += " create" + outcome(fd >= 0);
  if (fd >= 0) close(fd);
  fd = open((folder + "/probe").c_str(), O_RDWR | O_CLOEXEC);
  result += " write" + outcome(fd >= 0);
  if (fd >= 0) close(fd);
  result += " unlink" + outcome(unlink((folder + "/probe").c_str()) == 0);
  result += " rename" + outcome(rename((folder + "/probe").c_str(), (folder + "/renamed").c_str()) == 0);
  const char* const argv[] = {"/nonexistent/label-pdf-render-probe", nullptr};
  execv(argv[0], const_cast<char* const*>(argv));
  result += " exec" + outcome(false);
  const pid_t child = fork();
  if (child == 0) _exit(0);
  if (child > 0) waitpid(child, nullptr, 0);
  result += " fork" + outcome(child >= 0);
  result += " signal" + outcome(kill(getppid(), 0) == 0);
  std::printf("%s\n", result.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: label-pdf-render FILE MAXPAGES\n");
    return 2;
  }
  poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr);
  // Each page's bitmaps are as large as the last one's: kept on the heap rather than mapped afresh.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  size_t size = 0;
  const char* bytes = mapDocument(argv[1], &size);
  std::unique_ptr<poppler::document> document(
      bytes != nullptr ? poppler::document::load_from_raw_data(bytes, static_cast<int>(size)) : nullptr);
  if (document == nullptr || document->is_locked()) {
    fail(document == nullptr ? "The PDF document cannot be read."
                             : "The PDF document is locked with a password.");
    return 1;
  }
  const int pages = document->pages();
  if (pages < 1 || pages > std::atoi(argv[2])) {
    fail(pages < 1 ? "The PDF document has no pages."
                   : "The PDF document has " + std::to_string(pages) + " pages, more than " + argv[2] + ".");
    return 1;
  }
  if (!confine()) {
    fail("The renderer cannot confine itself.");
    return 1;
  }
  std::printf("pages %d\n", pages);
  std::fflush(stdout);

  poppler::page_renderer renderer;
  renderer.set_render_hints(poppler::page_renderer::text_hinting);
  renderer.set_image_format(poppler::image::format_gray8);
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    int page = -1, x = 0, y = 0, width = 0, height = 0;
    double dpi = 0;
    if (std::strncmp(line, "probe ", 6) == 0) {
      probe(std::string(line + 6, std::strcspn(line + 6, "\n")));
      continue;
    }
    const bool size = std::sscanf(line, "size %d", &page) == 1;
    const bool render =
        !size && std::sscanf(line, "render %d %lf %d %d %d %d", &page, &dpi, &x, &y, &width, &height) == 6;
    std::unique_ptr<poppler::page> p(page >= 0 && page < pages ? document->create_page(page) : nullptr);
    if (p == nullptr || (!size && !render)) {
      fail("Bad command.");
      continue;
    }
    if (size) {
      const poppler::rectf box = p->page_rect(poppler::crop_box);
      const bool turned =
          p->orientation() == poppler::page::landscape || p->orientation() == poppler::page::seascape;
      answer("size %.3f %.3f\n", turned ? box.height() : box.width(), turned ? box.width() : box.height());
      continue;
    }
    if (dpi <= 0 || dpi > 9600 || width < 1 || height < 1 || long{width} * height > kMaxDots) {
      fail("Bad region.");
      continue;
    }
    const poppler::image image = renderer.render_page(p.get(), dpi, dpi, x, y, width, height);
    if (!image.is_valid() || image.format() != poppler::image::format_gray8 || image.width() != width ||
        image.height() != height) {
      fail("The page cannot be rendered.");
      continue;
    }
    std::printf("image %d %d\n", width, height);
    for (int row = 0; row < height; ++row)
      std::fwrite(image.const_data() + long{row} * image.bytes_per_row(), 1, width, stdout);
    std::fflush(stdout);
  }
  return 0;
}
