// Threads of the platform utility library: starting, sleeping and the process's
// own command line. All operations are static and may be called from any thread;
// nothing is shared between calls, so no lock is involved.
#pragma once

#include <pthread.h>

class Thread {
  public:
    // Body of a thread: gets the argument given to BeginThread; its result is
    // the thread's exit code, which Join hands back.
    typedef unsigned long (*ThreadProc)(void* arg);
    typedef pthread_t Handle;

    // Starts `proc(arg)` on a new thread. With `joinHandle` null the thread is
    // detached; otherwise it is joinable and its handle is stored there, and the
    // caller must Join it exactly once. False when the thread could not start.
    static bool BeginThread(ThreadProc proc, void* arg, Handle* joinHandle = nullptr);

    // Waits for a joinable thread to end; stores its exit code when `exitCode`
    // is not null. False when the handle could not be joined.
    static bool Join(Handle handle, unsigned long* exitCode = nullptr);

    // Suspends the calling thread for at least `milliseconds`.
    static void Sleep(unsigned long milliseconds);

    // The process's command line (program and arguments separated by blanks,
    // from /proc/self/cmdline), cut to fit `size` bytes with its terminating
    // zero. Returns its length, or -1 (and an empty text) when it is unavailable.
    static int GetCommandLine(char* buf, int size);
};
