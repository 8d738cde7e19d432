// Checks of the thread contracts the comments state: "Called on the main thread only" and "the
// owner thread". They abort with the failed condition wherever assert() is on (Debug builds and
// the sanitizer builds of scripts/test.sh) and compile to nothing where NDEBUG is defined, so a
// release build pays nothing for them.
//
//   void TMainForm::StartMappings() { AssertMainThread(); ... }
#pragma once

#include <cassert>

#include "net/IdSync.h"

// The caller must be the main thread (see IdSync.h for which thread that is).
inline void AssertMainThread()
{
    assert(IsMainThread() && "called off the main thread");
}
