// The process-wide cap on the pool's threads (see parallel.hpp).
#include "span/parallel.hpp"

#include <memory>
#include <mutex>

namespace korvex::par {

#ifdef KORVEX_SEQUENTIAL
void set_thread_limit(uint64_t) {}
#else
namespace {
std::mutex cap_lock;
// Null: no cap. Never destroyed at exit: the control must not outlive the
// scheduler's own teardown.
oneapi::tbb::global_control* cap = nullptr;
}  // namespace

void set_thread_limit(uint64_t n) {
    using oneapi::tbb::global_control;
    std::unique_ptr<global_control> next;
    if (n != 0) next = std::make_unique<global_control>(global_control::max_allowed_parallelism,
                                                        static_cast<std::size_t>(n));
    std::lock_guard<std::mutex> hold(cap_lock);
    std::unique_ptr<global_control> old(cap);  // ends after the new one holds
    cap = next.release();
}
#endif

}  // namespace korvex::par
