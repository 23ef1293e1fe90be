// The digest's vector kernels once more, for the benchmark only, built with
// xmm8-15 reserved (CMakeLists.txt): x86-64 code with the eight vector
// registers of 32-bit code, standing in for the 32-bit program, whose timings
// under emulation would mean nothing. Namespaces keep them apart from the
// real kernels and from each other.
#include "digest_tables.h"
#include <emmintrin.h>
#include <immintrin.h>

namespace narrow_sse2 {
#include "digest_sse2.cpp"
}
namespace narrow_avx2 {
#include "digest_avx2.cpp"
}
