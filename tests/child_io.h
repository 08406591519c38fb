// Reading a child's output and reaping it, both resumed when a signal
// interrupts them: the fuzzer's timeout alarm arrives mid-read.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// Reads fd until end of file, then closes it.
inline std::string read_all(int fd) {
  std::string text;
  char chunk[256];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      text.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return text;
}

// The wait status of the ended child pid, or -1 when it cannot be reaped.
inline int reap(pid_t pid) {
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(pid, &status, 0)) == -1 && errno == EINTR) {
  }
  return ended == pid ? status : -1;
}
