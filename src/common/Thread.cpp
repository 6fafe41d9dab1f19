#include "common/Thread.h"

#include <memory>
#include <pthread.h>

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

bool startDetachedThread(const std::string& name, size_t stackBytes, std::function<void()> body) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackBytes > 0) pthread_attr_setstacksize(&attr, stackBytes);
    auto start = std::make_unique<Start>(Start{name, std::move(body)});
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, trampoline, start.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) return false;
    start.release(); // the thread owns it now
    return true;
}

} // namespace corvel
