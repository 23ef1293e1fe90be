// What vector instructions this processor and its operating system run.
#pragma once

// SSE2: the processor has it (every operating system this program supports
// saves the 128-bit registers).
bool CpuHasSse2();
// AVX2: the processor has it and the operating system saves the 256-bit
// registers on a thread switch (XCR0), without which they are unusable.
bool CpuHasAvx2();
