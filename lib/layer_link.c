/* The program each layer is linked into on its own (and the empty source
 * file of the shared objects): linking fails when a layer calls into a
 * layer above it. */
#ifndef ZYG_NO_MAIN
int main(void) { return 0; }
#endif
