// Making room in a vector before a change, without giving up geometric growth.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace school {

// Ensures `extra` more elements fit, so the push_backs that follow cannot fail. A bare
// reserve(size() + extra) would allocate exactly that much each time and turn a run of
// appends quadratic; this doubles like push_back does.
template <class T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
  if (v.size() + extra > v.capacity()) v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}

}  // namespace school
