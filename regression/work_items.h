#pragma once

#include <cstddef>
#include <functional>

namespace pelvane {

// Runs work(0) .. work(count - 1), in any order and on several threads at
// once if it likes (the job's worker pool), and returns when all are done;
// an empty one means: one after another on the calling thread. The stages
// that take one give each item a piece of their own, so their results do not
// depend on how the items ran.
using WorkItems = std::function<void(std::size_t count, const std::function<void(std::size_t)>& work)>;

}  // namespace pelvane
