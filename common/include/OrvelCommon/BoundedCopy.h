// The one bounded-copy helper: fixed buffers of the product are filled with
// copies that cut and always terminate, never overrun.
#pragma once

#include <cstddef>

#pragma GCC visibility push(default)

namespace ORVEL {

// Copies at most capacity - 1 bytes of src (null counts as "") into dst and
// terminates it. Returns the number of bytes copied. A zero capacity or a null
// dst copies nothing.
std::size_t boundedCopy(char* dst, std::size_t capacity, const char* src);

// Appends src to the text already in dst, within the same capacity.
std::size_t boundedAppend(char* dst, std::size_t capacity, const char* src);

}  // namespace ORVEL

#pragma GCC visibility pop
