// zyg-gochildren - a Go program for the VM tests that starts processes the
// way the Go runtime does: os/exec makes each child with the runtime's own
// clone and execve system calls (no C library fork or exec runs) and hands it
// the environment the runtime copied when the program started.
//
//	zyg-gochildren              four children of itself in child mode, at
//	                            once, each started from its own goroutine
//	                            locked to an OS thread; waits for them
//	zyg-gochildren CMD ARGS...  the same with four children running CMD
//	zyg-gochildren child        reports "GOCHILD pid= ppid= cpus= datafile="
//	                            (Cpus_allowed_list of its main thread and
//	                            ZYG_LAUNCH_DATA_FILE as exec'd) and exits
//
// Built twice (tests/CMakeLists.txt): with cgo, a dynamic executable that
// loads the preload library, and without, a static one that cannot.  Each
// report is one write(2).  A failure prints "ERROR <text>" and exits 1.
package main

import (
	"bufio"
	"fmt"
	"os"
	"os/exec"
	"runtime"
	"strings"
	"sync"
)

const children = 4

func fail(format string, args ...interface{}) {
	fmt.Printf("ERROR "+format+"\n", args...)
	os.Exit(1)
}

func cpusAllowed() string {
	f, err := os.Open("/proc/self/status")
	if err != nil {
		fail("open /proc/self/status: %v", err)
	}
	defer f.Close()
	s := bufio.NewScanner(f)
	for s.Scan() {
		if v := s.Text(); strings.HasPrefix(v, "Cpus_allowed_list:") {
			return strings.TrimSpace(strings.TrimPrefix(v, "Cpus_allowed_list:"))
		}
	}
	fail("no Cpus_allowed_list in /proc/self/status")
	return ""
}

func main() {
	if len(os.Args) == 2 && os.Args[1] == "child" {
		fmt.Printf("GOCHILD pid=%d ppid=%d cpus=%s datafile=%s\n", os.Getpid(), os.Getppid(),
			cpusAllowed(), os.Getenv("ZYG_LAUNCH_DATA_FILE"))
		return
	}
	command := os.Args[1:]
	if len(command) == 0 {
		self, err := os.Executable()
		if err != nil {
			fail("os.Executable: %v", err)
		}
		command = []string{self, "child"}
	}
	var wg sync.WaitGroup
	errs := make(chan error, children)
	for i := 0; i < children; i++ {
		wg.Add(1)
		go func() {
			defer wg.Done()
			// The creating thread is one the runtime keeps for this
			// goroutine alone, as a program that pins work to threads does.
			runtime.LockOSThread()
			defer runtime.UnlockOSThread()
			cmd := exec.Command(command[0], command[1:]...)
			cmd.Stdout, cmd.Stderr = os.Stdout, os.Stderr
			if err := cmd.Run(); err != nil {
				errs <- fmt.Errorf("%v: %v", command, err)
			}
		}()
	}
	wg.Wait()
	close(errs)
	for err := range errs {
		fail("%v", err)
	}
}
