#pragma once

#include <exception>
#include <new>
#include <stdexcept>

#include "pyr/pyrresult.h"

// Runs the body of a public operation. The standard containers report exhausted memory by
// throwing; the library reports it by its result code, so nothing escapes to the caller.
// The body keeps every object it makes owned, so unwinding frees them.
template <class Body>
PyrDicomResult PyrNoThrow(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kPyrOutOfMemory;
    } catch (const std::length_error&) {
        return kPyrOutOfMemory;   // a size no container can hold
    } catch (const std::exception&) {
        return kPyrFailed;
    }
}
