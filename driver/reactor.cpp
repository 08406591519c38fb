// reactor.cpp - the event loop on epoll; see reactor.h.
#include "reactor.h"

#include <cerrno>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

[[noreturn]] void epoll_failed() {
  throw std::system_error(errno, std::generic_category(), "epoll");
}

} // namespace

Reactor::Reactor() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {
  if (epoll_ < 0) {
    epoll_failed();
  }
}

Reactor::~Reactor() {
  (void)close(epoll_);
}

void Reactor::arm(Waiter &w) {
  if (w.socket_ == w.watched_fd_ && w.wanted_ == w.watched_events_) {
    return;
  }
  if (w.socket_ != w.watched_fd_) {
    forget(w);
  }
  epoll_event e{};
  e.events = w.wanted_;
  e.data.ptr = &w;
  const int op = w.watched_fd_ < 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  // A closed socket's number may come back with the next connection, still registered.
  if (epoll_ctl(epoll_, op, w.socket_, &e) != 0 &&
      (errno != EEXIST || epoll_ctl(epoll_, EPOLL_CTL_MOD, w.socket_, &e) != 0)) {
    epoll_failed();
  }
  w.watched_fd_ = w.socket_;
  w.watched_events_ = w.wanted_;
}

void Reactor::watch(Waiter &w, std::coroutine_handle<> awaiting) {
  arm(w);
  w.awaiting_ = awaiting;
}

void Reactor::forget(Waiter &w) {
  if (w.watched_fd_ >= 0) {
    (void)epoll_ctl(epoll_, EPOLL_CTL_DEL, w.watched_fd_, nullptr);
    w.watched_fd_ = -1;
    w.watched_events_ = 0;
  }
}

void Reactor::poll(int timeout_ms) {
  epoll_event events[64];
  const int n = epoll_wait(epoll_, events, 64, timeout_ms);
  for (int i = 0; i < n; ++i) {
    auto &w = *static_cast<Waiter *>(events[i].data.ptr);
    if (!w.awaiting_) {
      continue;
    }
    if (w.advance()) {
      std::exchange(w.awaiting_, {}).resume();
    } else {
      arm(w);
    }
  }
}
