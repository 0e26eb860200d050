// Stand-in: the one function of Apple's <malloc/malloc.h> the project calls.
#pragma once
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
size_t malloc_size(const void* ptr);
#ifdef __cplusplus
}
#endif
