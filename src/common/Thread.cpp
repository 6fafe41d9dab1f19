#include "common/Thread.h"

#include <memory>
#include <pthread.h>
#include <system_error>

namespace corvel {
namespace {

struct Start {
    std::string name;
    std::function<void()> body;
};

void* trampoline(void* raw) {
    std::unique_ptr<Start> start(static_cast<Start*>(raw));
    pthread_setname_np(pthread_self(), start->name.substr(0, 15).c_str());
    start->body();
    return nullptr;
}

} // namespace

namespace {
bool startThread(const std::string& name, size_t stackBytes, std::function<void()> body,
                 bool detached, pthread_t* out) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    if (stackBytes > 0) pthread_attr_setstacksize(&attr, stackBytes);
    auto start = std::make_unique<Start>(Start{name, std::move(body)});
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, trampoline, start.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) return false;
    start.release(); // the thread owns it now
    if (out) *out = thread;
    return true;
}
} // namespace

bool startDetachedThread(const std::string& name, size_t stackBytes, std::function<void()> body) {
    return startThread(name, stackBytes, std::move(body), true, nullptr);
}

JoinableThread::JoinableThread(const std::string& name, size_t stackBytes, std::function<void()> body) {
    pthread_t thread;
    if (!startThread(name, stackBytes, std::move(body), false, &thread))
        throw std::system_error(EAGAIN, std::generic_category(), "cannot start thread " + name);
    handle_ = thread;
    started_ = true;
}

JoinableThread::~JoinableThread() { join(); }

void JoinableThread::join() {
    if (started_) {
        pthread_join(handle_, nullptr);
        started_ = false;
    }
}

} // namespace corvel
