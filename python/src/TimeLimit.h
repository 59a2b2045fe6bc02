// timeout= of the command operations: seconds from Python, the library's
// time limit in milliseconds.
#pragma once
#include <chrono>
#include <optional>

namespace lustrepy {

// None and 0 mean no limit; a negative or non-finite timeout raises
// ValueError. A positive one below a millisecond counts as one millisecond.
std::chrono::milliseconds TimeLimit(std::optional<double> seconds);

}  // namespace lustrepy
