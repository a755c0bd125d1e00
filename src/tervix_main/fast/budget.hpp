// The interpreter's recursion budget as the fast routes take it: a level of the C budget
// wherever the general route's calls would enter one, and the Python frames those calls
// would push, so that a route declines wherever the general route would be refused.
#pragma once

#include "support/internals.hpp"

namespace glimet::tervix::fast {

// Levels of the C recursion budget held by a route, left again when it goes.
class Levels {
public:
    Levels() noexcept = default;
    Levels(const Levels &) = delete;
    Levels &operator=(const Levels &) = delete;
    ~Levels() {
        for (; held_ > 0; --held_) Py_LeaveRecursiveCall();
    }

    // Enters `count` more levels; false, with none of them held and no exception set, where
    // the interpreter refuses one.
    bool enter(int count = 1) noexcept {
        for (int i = 0; i < count; ++i) {
            if (Py_EnterRecursiveCall("")) {
                PyErr_Clear();
                for (; i > 0; --i) leave();
                return false;
            }
            ++held_;
        }
        return true;
    }
    void leave() noexcept {
        --held_;
        Py_LeaveRecursiveCall();
    }

private:
    int held_ = 0;
};

// Whether `count` more Python frames could be pushed, as the general route's Python code
// would push them.
inline bool room_for_frames(int count) noexcept { return internals::python_frames_left() >= count; }

// What json.dumps, called from C, takes before its encoder reaches the value: three Python
// frames deep (dumps, encode, iterencode) and two levels (evaluating dumps, calling the
// encoder); then one level for each list, tuple or dict it enters.
inline constexpr int json_dumps_frames = 3;
inline constexpr int json_dumps_levels = 2;

// What str() or format(value, "") of a container takes, called from C: a level for str() and
// one for the repr of the innermost value, besides one for each container.
inline constexpr int str_levels = 2;

} // namespace glimet::tervix::fast
