// The functions the library has once, outside the families: the cap on the
// pool's threads.
#include "exports/define.hpp"
#include "exports/guard.hpp"
#include "korvex.h"
#include "span/parallel.hpp"

namespace korvex::exports::library {
namespace {

int32_t set_num_threads(uint64_t n) {
    return guard([&] {
        par::set_thread_limit(n);
        return KORVEX_OK;
    });
}

uint64_t get_num_threads() {
    int n = par::thread_count();
    return n > 0 ? static_cast<uint64_t>(n) : 1;
}

}  // namespace
}  // namespace korvex::exports::library

extern "C" {
KORVEX_LIST_LIBRARY(KORVEX_DEFINE)
}
