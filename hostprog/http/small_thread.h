// A thread with a stack of a size we choose. std::thread takes the process's default, which
// glibc draws from the stack limit (8 MiB on most systems): reserved address space a small
// gateway may not have to spare, for threads that never need more than a few pages.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <string>

namespace kv830host {

class SmallThread {
  public:
    SmallThread() = default;
    ~SmallThread();  // joins
    SmallThread(const SmallThread&) = delete;
    SmallThread& operator=(const SmallThread&) = delete;

    // Starts `body` on a thread named `name` (at most 15 characters, as ps and top show it)
    // with `stack_bytes` of stack; false with `error` when the system refused the thread.
    bool start(const char* name, std::size_t stack_bytes, std::function<void()> body,
               std::string& error);
    bool running() const { return started_; }
    void join();

  private:
    static void* enter(void* arg);
    pthread_t handle_{};
    bool started_ = false;
};

}  // namespace kv830host
