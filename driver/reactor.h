// reactor.h - an event loop: one thread waits on the sockets of many
// connections and resumes each coroutine whose round trip is over, so that
// one thread keeps many connections busy.
#ifndef TPCC_DRIVER_REACTOR_H
#define TPCC_DRIVER_REACTOR_H

#include <coroutine>
#include <cstdint>

class Reactor {
public:
  // A connection's side: what it waits for, and how far a wait has come.
  class Waiter {
  public:
    Waiter() = default;
    Waiter(const Waiter &) = delete;
    Waiter &operator=(const Waiter &) = delete;

  protected:
    ~Waiter() = default;
    // Reads (or writes) what the socket is ready for; true once the wait is over.  It may
    // change wanted_ (EPOLLIN, EPOLLOUT) and socket_ for the rest of the wait.
    virtual bool advance() = 0;
    int socket_ = -1;
    uint32_t wanted_ = 0;

  private:
    friend class Reactor;
    std::coroutine_handle<> awaiting_;
    int watched_fd_ = -1;
    uint32_t watched_events_ = 0;
  };

  Reactor();
  Reactor(const Reactor &) = delete;
  Reactor &operator=(const Reactor &) = delete;
  ~Reactor();
  // Resumes awaiting once w's wait is over (w.advance() says so).
  void watch(Waiter &w, std::coroutine_handle<> awaiting);
  // Forgets w, which is about to close its socket.
  void forget(Waiter &w);
  // Waits up to timeout_ms for sockets and resumes the coroutines whose waits are over.
  void poll(int timeout_ms);

private:
  void arm(Waiter &w);
  int epoll_;
};

#endif
