// The tagvane command. The daemon links some forty shared libraries, and the
// dynamic loader takes milliseconds to map them before the daemon's first
// instruction; a stop signal in that time would end it by the default
// action. This small static program holds the stop and reload signals back
// at once and then becomes the daemon (same process, same arguments), which
// finds them pending once its own handling is in place. The daemon lives in
// lib/tagvane/ beside this program's folder (installed) or below it (build).
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

// On x86-64 the program's entry point holds the signals before anything
// else runs, with one system call, and then hands over to the C library's
// own start-up (which takes about half a millisecond here); main holds
// them again, which is all other machines get.
#if defined(__x86_64__) && defined(TAGVANE_LAUNCHER_ENTRY)
asm(R"(
    .section .rodata
    .balign 8
tagvane_held_signals:
    .quad (1 << (1 - 1)) | (1 << (2 - 1)) | (1 << (15 - 1))  # SIGHUP, SIGINT, SIGTERM
    .text
    .globl tagvane_entry
    .type tagvane_entry, @function
tagvane_entry:
    mov %rdx, %r12                   # kept for _start
    mov $14, %eax                    # rt_sigprocmask(SIG_BLOCK, &held, NULL, 8)
    xor %edi, %edi
    lea tagvane_held_signals(%rip), %rsi
    xor %edx, %edx
    mov $8, %r10d
    syscall
    mov %r12, %rdx
    jmp _start
)");
#endif

int main(int argc, char** argv) {
  sigset_t held;
  sigemptyset(&held);
  sigaddset(&held, SIGINT);
  sigaddset(&held, SIGTERM);
  sigaddset(&held, SIGHUP);
  sigprocmask(SIG_BLOCK, &held, nullptr);

  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    std::fprintf(stderr, "tagvane: cannot find its own program file: %s\n", std::strerror(errno));
    return 127;
  }
  self[length] = '\0';
  char* slash = std::strrchr(self, '/');
  const size_t folder = slash ? static_cast<size_t>(slash - self) : 0;

  // The daemon takes this program's path as its argv[0], so it looks for
  // its companions and assets where the user's command is.
  // (Started with no arguments at all, argv[1] would be the environment.)
  char* alone[] = {self, nullptr};
  char** args = argc > 0 ? argv : alone;
  args[0] = self;
  const char* const places[] = {"/../lib/tagvane/tagvane", "/lib/tagvane/tagvane"};
  char daemon[PATH_MAX];
  int error = ENOENT;
  const char* failed = places[0];
  for (const char* place : places) {
    if (folder + std::strlen(place) >= sizeof daemon) continue;
    std::memcpy(daemon, self, folder);
    std::strcpy(daemon + folder, place);
    execv(daemon, args);
    if (errno != ENOENT) {
      error = errno;
      failed = place;
      break;
    }
  }
  if (error == ENOENT) {
    std::fprintf(stderr,
                 "tagvane: cannot start the daemon: no lib/tagvane/tagvane beside or below %.*s\n",
                 static_cast<int>(folder), self);
  } else {
    std::fprintf(stderr, "tagvane: cannot start the daemon %.*s%s: %s\n", static_cast<int>(folder),
                 self, failed, std::strerror(error));
  }
  return 127;
}
