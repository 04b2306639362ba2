/* A library that this test program needs before the C library, defining one
 * of the C library's names: the next definition after the program is this
 * one, and the next after this library is the C library's. */
#define _GNU_SOURCE
#include <unistd.h>

int execvpe(const char* file, char* const argv[], char* const envp[]) {
  (void)file;
  (void)argv;
  (void)envp;
  return -2;
}

const void* next_shim_self(void) { return (const void*)&next_shim_self; }
