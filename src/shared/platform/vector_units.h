// The one guard under which the programs carry code for several vector
// widths, picked when the program is loaded.
#ifndef KORV_SHARED_PLATFORM_VECTOR_UNITS_H_
#define KORV_SHARED_PLATFORM_VECTOR_UNITS_H_

// Clones need ifunc, which picks one when the program is loaded and exists
// only in ELF programs; and the Windows compiler cannot align the stack to
// the 64-byte vectors of AVX-512. Elsewhere the plain code alone is built.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    defined(__ELF__)
#define KORV_VECTOR_CLONES 1
// Builds the function once per target named (the last one "default").
#define KORV_CLONES(...) __attribute__((target_clones(__VA_ARGS__)))
// Builds the function for AVX-512 alone; call it only when
// ProcessorHasWideVectors().
#define KORV_WIDE_VECTORS __attribute__((target("avx512f")))
#else
#define KORV_CLONES(...)
#endif

namespace korv {

#ifdef KORV_VECTOR_CLONES
// Returns true when the processor has AVX-512 (asked once).
inline bool ProcessorHasWideVectors() {
  static const bool wide = __builtin_cpu_supports("avx512f");
  return wide;
}

// Set by a test hook: the narrow code runs even where the processor has
// the wide one, so that both are tested on one machine.
inline bool g_force_narrow_vectors = false;

// Returns true when the code for AVX-512 is to run.
inline bool HasWideVectors() {
  return ProcessorHasWideVectors() && !g_force_narrow_vectors;
}
#endif

// Test hook: while on, the narrow code runs everywhere.
inline void TEST_ForceNarrowVectors(bool on) {
#ifdef KORV_VECTOR_CLONES
  g_force_narrow_vectors = on;
#else
  (void)on;
#endif
}

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_VECTOR_UNITS_H_
