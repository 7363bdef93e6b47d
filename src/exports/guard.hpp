// The one place where allocation failure turns into a result. Everything
// below the exports throws std::bad_alloc when bookkeeping memory (span
// arrays, temporaries, records, per-thread buffers, the pool's own tasks)
// cannot be had, freeing what it held on the way out; every export runs its
// body through one of these, so that no exception crosses the interface.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>

#include "korvex.h"

namespace korvex {

// body()'s result, or `failed` (NULL for a handle) when memory runs out. A
// void body simply ends; it must leave its matrix valid and as it was in
// content.
template <typename R, typename Body>
R guard_or(R failed, const Body& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return failed;
    } catch (const std::length_error&) {  // a container asked for more than can exist
        return failed;
    }
}

// body() as a status: KORVEX_STATUS_ALLOC when memory runs out.
template <typename Body>
int32_t guard(const Body& body) noexcept {
    return guard_or<int32_t>(KORVEX_STATUS_ALLOC, body);
}

template <typename Body>
void guard_void(const Body& body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
}

}  // namespace korvex
