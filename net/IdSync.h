// Calls handed to the main thread: a process-wide queue that peer threads fill and the main
// thread serves.
//
// The main thread is the thread that ran static initialisation (normally the one running
// main()); MarkMainThread changes that. With Qt, the window sets a wake hook that writes to an
// eventfd its event loop watches; the main thread then calls ServePending, also from inside a
// modal dialog's loop. Without Qt (tests, benchmarks, tools) the main thread calls ServePending
// itself or waits in ServeWhileWaiting. Deactivating a server waits for its listener this way.
//
//   // any thread:                          // main thread:
//   SynchronizeWithMain([&]{ Log(text); }); SetWakeHook([]{ signal the eventfd });
#pragma once

#include <functional>

// Makes the calling thread the main thread. Call once, early, on the main thread.
void MarkMainThread();
// Thread safe.
bool IsMainThread();

// AHook is called on the enqueuing thread after each enqueue (and when a waiting main thread
// should look again). It must not block. Set it on the main thread; thread safe.
void SetWakeHook(std::function<void()> AHook);

// Runs, in order, the calls that were queued when it started (a call queued meanwhile has woken
// the main thread again and waits for the next serve); returns how many ran. Called on the main
// thread only (elsewhere it runs nothing and returns 0).
int ServePending();

// On the main thread: runs AMethod at once. On any other thread: queues AMethod for the main
// thread and blocks until it has run there. An exception thrown by AMethod is rethrown here.
void SynchronizeWithMain(const std::function<void()>& AMethod);

// Blocks until ADone() is true, serving queued calls meanwhile when called on the main thread.
// ADone is re-tested after every served call and after every WakeMainThread. Thread safe.
void ServeWhileWaiting(const std::function<bool()>& ADone);

// Makes threads blocked in ServeWhileWaiting test their condition again. Thread safe.
void WakeMainThread();
