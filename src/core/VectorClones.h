#pragma once

// STEMORA_VECTOR_CLONES before a hot loop's function: where the compiler can build clones for
// wider vector units, the loader picks one once for the run. GCC on x86-64 only, and not under
// ThreadSanitizer, whose runtime is not ready when the loader resolves the clones (the program
// would crash before main).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define STEMORA_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define STEMORA_VECTOR_CLONES
#endif
