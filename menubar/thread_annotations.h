// Clang's thread-safety annotations, empty for other compilers. Any file may use them.
#pragma once

#if defined(__clang__)
#define VELTO_GUARDED_BY(x) __attribute__((guarded_by(x)))
#else
#define VELTO_GUARDED_BY(x)
#endif
