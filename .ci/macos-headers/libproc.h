// Stand-in: the part of Darwin's <libproc.h> that finds a process's
// executable.
#pragma once
#include <stdint.h>
#define PROC_PIDPATHINFO_MAXSIZE (4 * 1024)
#ifdef __cplusplus
extern "C" {
#endif
int proc_pidpath(int pid, void* buffer, uint32_t buffersize);
#ifdef __cplusplus
}
#endif
