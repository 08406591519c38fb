// Shared pieces of the fuzz targets: reading fields off the input, and
// checking that a call ends the process through abort() with one message.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "child_io.h"

// Takes fixed-size fields off the front of the input; zeros once it runs out.
class FuzzInput {
public:
  FuzzInput(const uint8_t *data, std::size_t size) : data_(data), size_(size) {}

  template <typename T>
  T take() {
    T value{};
    const std::size_t n = size_ < sizeof value ? size_ : sizeof value;
    std::memcpy(&value, data_, n);
    data_ += n;
    size_ -= n;
    return value;
  }

private:
  const uint8_t *data_;
  std::size_t size_;
};

// Fails the run unless call(), in a child, writes exactly message to standard
// error and dies of SIGABRT.
template <typename Call>
void expect_abort(Call call, const std::string &message) {
  int err[2];
  if (pipe(err) != 0) {
    std::abort();
  }
  const pid_t pid = fork();
  if (pid == 0) {
    (void)std::signal(SIGABRT, SIG_DFL); // not the fuzzer's crash handler
    dup2(err[1], STDERR_FILENO);
    call();
    _exit(0);
  }
  close(err[1]);
  const std::string text = read_all(err[0]);
  const int status = reap(pid);
  if (status == -1 || !WIFSIGNALED(status) || WTERMSIG(status) != SIGABRT || text != message) {
    (void)std::fprintf(stderr, "expected an abort with \"%s\", got status %d and \"%s\"\n",
                       message.c_str(), status, text.c_str());
    std::abort();
  }
}

// A misuse is checked only for inputs whose selector byte matches, and then
// for one in 32 of them: each check forks, and the fuzzer should spend its
// time on sound inputs.
inline bool check_misuse(uint8_t selector) {
  static unsigned matches = 0;
  return selector == 0xA5 && matches++ % 32 == 0;
}
