// What the processor running this code supports, for the loops that have faster
// paths on some processors. Asked once per process.
#pragma once

namespace kestrune {

#if defined(__x86_64__)
// True when the processor has AVX2 and the system saves its registers.
bool processor_has_avx2();
#endif

}  // namespace kestrune
