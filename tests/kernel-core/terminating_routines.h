// Thread routines built like driver code (no exceptions), for the thread tests.
#pragma once

#include <wdm.h>

struct TerminatingContext {
    KEVENT go;                       // the routine waits for this before ending
    KIRQL irqlSeen;
    PKTHREAD self;
    KPRIORITY priorityBefore;
    volatile LONG ranPastTerminate;  // set only if PsTerminateSystemThread returned
};

// Records what it sees, raises its priority to 16, waits for `go`, then ends
// with PsTerminateSystemThread from a nested call.
void TerminatingRoutine(PVOID context);
