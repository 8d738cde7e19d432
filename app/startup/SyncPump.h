// The bridge between the network layer's queue of synchronised calls and the Qt event loop.
// A connection thread that hands a call to the main thread enqueues it and then calls the wake
// hook installed here; the hook signals an eventfd that the main thread's event loop watches,
// and the main thread serves every waiting call when the event loop (or a modal box's loop)
// gets to it. Wake-ups are coalesced: while one is on its way no second one is signalled.
#pragma once

// Called on the main thread only: marks it as the main thread and installs the wake hook.
// Safe to call more than once.
void InstallSyncPump();
// Called on the main thread only, before the application object is destroyed: from then on
// the hook posts nothing (the queue is still served by whoever waits on the main thread).
void UninstallSyncPump();
