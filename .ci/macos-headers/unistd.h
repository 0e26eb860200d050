// Stand-in: glibc's <unistd.h> and Darwin's confstr name for the per-user
// temporary directory.
#pragma once
#include_next <unistd.h>
#define _CS_DARWIN_USER_TEMP_DIR 65537
