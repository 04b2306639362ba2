package main

// Any C code linked in makes the Go program a dynamic executable that runs
// the C library's start-up, and with it the preload library.  Without cgo
// (CGO_ENABLED=0) this file drops out and the program is static.

// static int zyg_linked(void) { return 1; }
import "C"

var _ = C.zyg_linked()
