// Shared object initialiser and finaliser.
#include <numa.h>

__attribute__((constructor)) static void zyg_ctor() { (void)numa_available(); }
