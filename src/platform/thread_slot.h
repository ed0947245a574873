// The engine's one pointer per thread, handed to a release function when the
// thread ends. The platform keeps it rather than a thread_local object with a
// destructor: with MinGW's emulated thread-local storage such a destructor runs
// after the object's own storage was freed.
#pragma once

using hv_thread_release = void (*)(void *p);

// The calling thread's pointer; null until set.
void *hv_thread_slot_get();

// Sets the calling thread's pointer. `release` (the same function on every
// thread) gets it when the thread ends. False when the platform cannot keep a
// pointer for this thread.
bool hv_thread_slot_set(void *p, hv_thread_release release);
