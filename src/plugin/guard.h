// No exception leaves an export: running out of memory anywhere below gives
// the export's failure result.
#pragma once

#include <new>

template <class Body, class Failure>
auto guarded(Body body, Failure failure) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return failure();
    }
}
