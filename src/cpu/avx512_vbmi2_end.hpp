// Closes the region that cpu/avx512_vbmi2_begin.hpp opened.
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif
