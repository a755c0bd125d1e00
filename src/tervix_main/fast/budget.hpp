// The interpreter's recursion budget as the fast routes take it: the levels of the C budget
// the general route's calls would enter, and the Python frames they would push, so that a
// route declines wherever the general route would be refused.
#pragma once

#include "support/internals.hpp"

namespace glimet::tervix::fast {

// Writers of nested values go no deeper than this many containers, and leave deeper values
// (and cycles, which are infinitely deep) to the interpreter; the bound also keeps their use
// of the C stack small.
inline constexpr int max_depth = 100;

// What json.dumps, called from C, takes before its encoder reaches the value: three Python
// frames deep (dumps, encode, iterencode) and two levels (evaluating dumps, calling the
// encoder); then one level for each list, tuple or dict it enters.
inline constexpr int json_dumps_frames = 3;
inline constexpr int json_dumps_levels = 2;

// What str() or format(value, "") of a container takes, called from C: a level for str() and
// one for the repr of the innermost value, besides one for each container.
inline constexpr int str_levels = 2;

// Whether `count` more Python frames could be pushed.
inline bool room_for_frames(int count) noexcept { return internals::python_frames_left() >= count; }

// How many containers deep a writer may go where the general route's call takes
// `outer_levels` besides a level for each container: at most max_depth.
inline int container_room(int outer_levels) noexcept {
    return internals::c_levels_left(outer_levels + max_depth) - outer_levels;
}

} // namespace glimet::tervix::fast
