// Stand-in: the part of Darwin's <sys/sysctl.h> (and the <sys/proc.h> it
// includes) that asks whether a process is traced. Apple's structures have
// many more members; only the names used here are declared.
#pragma once
#include <stddef.h>
#include <sys/types.h>
#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROC_PID 1
#define P_TRACED 0x00000800
struct extern_proc {
  int p_flag;
};
struct kinfo_proc {
  struct extern_proc kp_proc;
};
#ifdef __cplusplus
extern "C" {
#endif
int sysctl(int* name, u_int namelen, void* oldp, size_t* oldlenp, void* newp, size_t newlen);
#ifdef __cplusplus
}
#endif
