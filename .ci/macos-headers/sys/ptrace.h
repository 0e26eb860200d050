// Stand-in: Darwin's ptrace, in place of glibc's (whose requests are Linux's).
#pragma once
#include <sys/types.h>
#define PT_DENY_ATTACH 31
#ifdef __cplusplus
extern "C" {
#endif
int ptrace(int request, pid_t pid, caddr_t addr, int data);
#ifdef __cplusplus
}
#endif
