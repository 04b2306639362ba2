// create.h - the placement of new tasks: processes (process.cpp), threads
// (thread.cpp), and what they share (create.cpp): the first steps of a new
// process and the handling of a process's main thread.
//
// The exported interposers (lib/entry) start the library and then call
// these; nothing here starts the library or is exported.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <threads.h>

#include "placement/clone_arg.h"
#include "shared/log_schema.h"

namespace zyg {

// fork, placed (and vfork reached through syscall, made by fork too);
// `child_message` is the child's log record, `is_vfork` tells which call the
// application made (for the trace).
pid_t fork_placed(log_message child_message, bool is_vfork);

// vfork, placed: the parent chooses and counts the node (get_proc_launch)
// before the real vfork; the child binds itself and logs its start before
// returning to the application, in the parent's memory; the parent then
// takes a failed creation back, or logs the child. `result` is the system
// call's (the pid, or -errno); vfork_finish returns vfork's result and sets
// errno on failure only.
void vfork_child_start(int node, int cpu);
pid_t vfork_finish(long result, int node, int cpu, int kind);

// clone calls that create a process, sorted out by the clone interposer.
int fork_via_clone(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid,
                   void* tls, pid_t* child_tid);
int vfork_via_clone(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid,
                    void* tls, pid_t* child_tid);
// CLONE_VM without CLONE_THREAD or CLONE_VFORK: a process sharing memory.
int vm_process_via_clone(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid,
                         void* tls, pid_t* child_tid);

// Threads: clone with shared memory, and pthread_create. The new thread
// places itself before it runs the application's function.
int clone_thread(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid, void* tls,
                 pid_t* child_tid);
int pthread_create_placed(pthread_t* thread, const pthread_attr_t* attr,
                          void* (*start_routine)(void*), void* arg);
// thrd_create: a C11 thread, placed as a pthread is (the C library makes it
// without going through pthread_create). A thrd_* result.
int thrd_create_placed(thrd_t* thr, thrd_start_t func, void* arg);
#if ZYG_DEBUG
void trace_clone_args(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* ptid, void* tls,
                      pid_t* ctid);
#endif

// The first steps in a new child, before any of the application's code.
// CHILD_OWN_MEMORY: the child has its own memory; CHILD_SHARED_MEMORY: it
// shares the parent's (a vfork done through clone) and must change nothing
// the parent sees.
// Allocation-free and lock-free apart from the shared ldata atomics: a child
// of a multithreaded parent may have inherited locks held by threads that do
// not exist in it. errno is left as it was: the fork's caller in the child
// does not keep a copy of its own.
enum child_mode { CHILD_OWN_MEMORY, CHILD_SHARED_MEMORY };
void child_start(child_mode mode, int node, int cpu, log_message message);

// Under rr_pack, a process other than the first: its environment no longer
// hands the library on, it creates without placing, and it leaves the count.
void become_rr_pack_child();

// The rest of a process made by clone once child_start has run: the
// application's function, then, unless launching went off, the count-out and
// `end_record` (the kernel ends the process right after the function
// returns, past every exit function of ours). Returns the function's result.
int run_clone_child(int (*fn)(void*), void* arg, log_message end_record);

// Deals with the main thread at a process's first thread creation, made by
// clone or pthread_create as `kind` says.
void thread_clone_init(creation_kind kind);

// Takes the preload library out of LD_PRELOAD and drops the launch file
// variables from env (an environ-style array), in place and without
// allocating: used in a forked child before user code. An edited LD_PRELOAD
// entry is kept in a static buffer of the library (in the child's own memory)
// or, if it does not fit, edited where it is. Returns the number of entries
// removed or changed.
int strip_launch_env_in_place(char** env);

// Tasks listed in task_dir (a /proc/<pid>/task directory) other than
// self_tid that have not begun to exit (PF_EXITING clear in their stat
// flags, state neither Z nor X); -1 when the directory cannot be read. A
// thread that ended by a raw exit stays listed for a moment after a joiner
// has seen it end; it must not make the last thread's exit look like a
// thread's. Allocation-free, small stack.
int other_running_tasks(const char* task_dir, long self_tid);

}  // namespace zyg
