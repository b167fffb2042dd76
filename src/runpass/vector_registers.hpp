// Four and two lanes in a vector register (SSE2 on x86-64, NEON on Arm64), written
// with the compiler's vector types: the run pass's loops would not vectorise as
// scalars (a float min/max or a flag reduction needs reassociation the compiler may
// not do). For the pass's own sources only.
#pragma once

#include <cstdint>
#include <cstring>

namespace kestrune::runpass::vector_registers {

using Floats = float __attribute__((vector_size(16)));
using FloatMask = std::int32_t __attribute__((vector_size(16)));
using Doubles = double __attribute__((vector_size(16)));
using DoubleMask = std::int64_t __attribute__((vector_size(16)));

template <class Vector, class T>
Vector load(const T* at) {
    Vector value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace kestrune::runpass::vector_registers
