#include "simd/processor.hpp"

namespace kestrune::simd {

#if defined(KESTRUNE_VECTOR_X86)
bool processor_has_avx2() {
    // The compiler's check also asks the system whether it saves the AVX registers.
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2;
}
#endif

}  // namespace kestrune::simd
