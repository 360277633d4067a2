#include "small_thread.h"

#include <cstring>
#include <memory>

namespace kv830host {

SmallThread::~SmallThread() {
    join();
}

void* SmallThread::enter(void* arg) {
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

bool SmallThread::start(const char* name, std::size_t stack_bytes, std::function<void()> body,
                        std::string& error) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    int status = pthread_attr_setstacksize(&attr, stack_bytes);
    auto* arg = new std::function<void()>(std::move(body));
    pthread_t thread{};
    if (status == 0) {
        status = pthread_create(&thread, &attr, &SmallThread::enter, arg);
    }
    pthread_attr_destroy(&attr);
    if (status != 0) {
        delete arg;
        error = std::string("cannot start a thread: ") + std::strerror(status);
        return false;
    }
    (void)pthread_setname_np(thread, name);
    handle_ = thread;
    started_ = true;
    return true;
}

void SmallThread::join() {
    if (started_) {
        pthread_join(handle_, nullptr);
        started_ = false;
    }
}

}  // namespace kv830host
