// The individual implementations behind summarise, named so that a check program can
// compare every path this machine can run against the portable one. Callers use
// kernels.hpp.
#pragma once

#include <cstddef>

#include "runpass/kernels.hpp"
#include "simd/processor.hpp"

namespace kestrune::runpass::kernel_paths {

using Summarise = PeakSummary (*)(const double* mz, const float* intensity, std::size_t count);

// A loop a statistic, each in vector registers of the compiler's generic width.
PeakSummary summarise_portable(const double* mz, const float* intensity, std::size_t count);
#if defined(KESTRUNE_VECTOR_X86)
// Every statistic in one loop over the peaks. Only to be called where
// processor_has_avx2() holds.
PeakSummary summarise_avx2(const double* mz, const float* intensity, std::size_t count);
#endif

}  // namespace kestrune::runpass::kernel_paths
