// Which x86 vector instruction sets the code is compiled for. Code with
// SSE2 or AVX2 intrinsics is guarded by these instead of the compiler's own
// macros, so that a build with ARBOLITE_PORTABLE_ONLY defined (the CMake
// option of that name) leaves every such path out, as a compiler for another
// processor would, and runs only the portable code.
//
// They are function-like on purpose: `#if ARBOLITE_TARGET_SSE2()` in a file
// that forgot this header is a preprocessor error, where a plain macro would
// quietly read as 0 and drop the vector path.
#pragma once

#if defined(__SSE2__) && !defined(ARBOLITE_PORTABLE_ONLY)
#define ARBOLITE_TARGET_SSE2() 1
#else
#define ARBOLITE_TARGET_SSE2() 0
#endif

// Defined only in the sources compiled for AVX2 (-mavx2).
#if defined(__AVX2__) && !defined(ARBOLITE_PORTABLE_ONLY)
#define ARBOLITE_TARGET_AVX2() 1
#else
#define ARBOLITE_TARGET_AVX2() 0
#endif
