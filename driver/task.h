// task.h - a coroutine that makes a T, started when it is awaited or waited for.
//
// A transaction is one: where it waits for its pipeline's results it
// suspends, and the event loop of its connection resumes it once they are in
// (pg::Reactor), so one thread keeps many connections busy.  On a connection
// without a loop the wait happens in place and the task runs through.
//
// gcc 12 drops the whole body of a coroutine that has a co_await in the
// condition of an if inside a loop: await into a variable, then test it.
#ifndef TPCC_DRIVER_TASK_H
#define TPCC_DRIVER_TASK_H

#include <coroutine>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <utility>

namespace detail {

// What every task's promise holds: who awaits it, and what it threw.
struct PromiseBase {
  std::coroutine_handle<> continuation = std::noop_coroutine();
  std::exception_ptr error;

  struct Final {
    bool await_ready() noexcept { return false; }
    template <typename Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> done) noexcept {
      return done.promise().continuation;
    }
    void await_resume() noexcept {}
  };
  std::suspend_always initial_suspend() noexcept { return {}; }
  Final final_suspend() noexcept { return {}; }
  void unhandled_exception() { error = std::current_exception(); }
};

template <typename T>
struct Promise : PromiseBase {
  std::optional<T> value;
  void return_value(T v) { value = std::move(v); }
  T take() { return std::move(*value); }
};

template <>
struct Promise<void> : PromiseBase {
  void return_void() {}
  void take() {}
};

} // namespace detail

template <typename T = void>
class [[nodiscard]] Task {
public:
  struct promise_type : detail::Promise<T> {
    Task get_return_object() { return Task(Handle::from_promise(*this)); }
  };
  using Handle = std::coroutine_handle<promise_type>;

  Task(Task &&other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task(const Task &) = delete;
  Task &operator=(const Task &) = delete;
  Task &operator=(Task &&) = delete;
  ~Task() {
    if (handle_) {
      handle_.destroy();
    }
  }

  // Awaited: runs until it is done, then the awaiting coroutine goes on.
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  T await_resume() { return result(); }

  // For the one who owns a top-level task: start it, ask whether it is done,
  // and once it is, take what it made or rethrow what it threw.
  void start() { handle_.resume(); }
  bool done() const { return handle_.done(); }
  T result() {
    if (handle_.promise().error) {
      std::rethrow_exception(handle_.promise().error);
    }
    return handle_.promise().take();
  }

private:
  explicit Task(Handle h) : handle_(h) {}
  Handle handle_;
};

// Runs a task that never waits for a loop (its connections have none) to its end.
template <typename T>
T wait(Task<T> task) {
  task.start();
  if (!task.done()) {
    (void)std::fputs("wait: a task suspended with no event loop to resume it\n", stderr);
    std::abort();
  }
  return task.result();
}

#endif
