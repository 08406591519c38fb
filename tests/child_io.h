// Running a program as a child, reading its output and reaping it, both
// resumed when a signal interrupts them: the fuzzer's timeout alarm arrives
// mid-read.
#pragma once

#include <cerrno>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>

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

using ChildSetup = std::function<void()>;

struct Outcome {
  int status = -1; // exit status, or -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// The program is opened before the fork and run from that descriptor, so a
// child that has dropped privileges needs no right to the path it lies at.
inline pid_t spawn(const char *path, const std::vector<const char *> &args, int out_fd, int err_fd,
                   const ChildSetup &setup) {
  const int program = open(path, O_RDONLY | O_CLOEXEC);
  if (program == -1) {
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    if (setup) {
      setup();
    }
    std::vector<char *> argv{const_cast<char *>(path)};
    for (const char *arg : args) {
      argv.push_back(const_cast<char *>(arg));
    }
    argv.push_back(nullptr);
    fexecve(program, argv.data(), environ);
    _exit(127);
  }
  close(program);
  return pid;
}

inline int exit_status(pid_t pid) {
  const int status = pid == -1 ? -1 : reap(pid);
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline Outcome run(const char *path, const std::vector<const char *> &args = {},
                   const ChildSetup &setup = {}) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return {};
  }
  const pid_t pid = spawn(path, args, out[1], err[1], setup);
  close(out[1]);
  close(err[1]);
  Outcome result;
  result.out = read_all(out[0]);
  result.err = read_all(err[0]);
  result.status = exit_status(pid);
  return result;
}
