// random() for the checks where the C library has none (Windows' own): the same
// range, 0 to 2^31 - 1, from a fixed seed so that a failure repeats.
#pragma once

#include <random>

inline long random() {
    static std::mt19937 generator;
    return static_cast<long>(generator() >> 1);
}
