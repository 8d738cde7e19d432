// The anti-freeze: while one is active, a wait for socket data without a limit (WaitForData with
// InfiniteTimeout) is cut into slices of IdleTimeOut ms, after each of which the socket is
// tested again and, on the main thread, pending window events are handled through the process
// hook. A finite wait longer than one slice becomes two waits (all but the last IdleTimeOut ms,
// then that last slice); a finite wait no longer than one slice is not cut.
//
// The most recently created anti-freeze is the process-wide one; destroying any anti-freeze
// clears that reference. Create and destroy them on the main thread; the fields are read by
// every waiting thread.
//
//   TIdAntiFreeze antiFreeze;                                  // with the main window
//   antiFreeze.SetProcessHook([](bool all) { QCoreApplication::processEvents(...); });
#pragma once

#include <atomic>
#include <functional>

#include "net/IdComponent.h"

class TIdAntiFreezeBase : public TIdBaseComponent {
public:
    explicit TIdAntiFreezeBase(TIdBaseComponent* AOwner = nullptr);
    ~TIdAntiFreezeBase() override;

    // Main thread only; handles pending window events.
    virtual void Process() = 0;

    // When a process-wide anti-freeze exists and the caller is the main thread: Process if it
    // is Active and (not OnlyWhenIdle, or AIdle, or AOverride). Elsewhere nothing. Thread safe.
    static void DoProcess(bool AIdle = true, bool AOverride = false);
    // The slice length when a process-wide anti-freeze exists and is active; 0 otherwise.
    // Thread safe.
    static int ActiveIdleTimeOut();
    // The process-wide anti-freeze or nullptr; only for the main thread.
    static TIdAntiFreezeBase* Instance();

    bool Active() const { return FActive.load(); }
    void SetActive(bool AValue);
    bool ApplicationHasPriority() const { return FApplicationHasPriority.load(); }
    void SetApplicationHasPriority(bool AValue) { FApplicationHasPriority = AValue; }
    int IdleTimeOut() const { return FIdleTimeOut.load(); }
    void SetIdleTimeOut(int AMilliseconds);
    bool OnlyWhenIdle() const { return FOnlyWhenIdle.load(); }
    void SetOnlyWhenIdle(bool AValue) { FOnlyWhenIdle = AValue; }

private:
    void PublishSlice();

    std::atomic<bool> FActive{true};
    std::atomic<bool> FApplicationHasPriority{true};
    std::atomic<int> FIdleTimeOut{250};
    std::atomic<bool> FOnlyWhenIdle{true};
};

class TIdAntiFreeze : public TIdAntiFreezeBase {
public:
    using TIdAntiFreezeBase::TIdAntiFreezeBase;

    // Calls the process hook with ApplicationHasPriority: true asks to handle every pending
    // event, false to handle one event if one is waiting. Without a hook it does nothing.
    void Process() override;

    // The way into the windowing toolkit's event loop; set on the main thread.
    void SetProcessHook(std::function<void(bool AHandleAll)> AHook)
    {
        FProcessHook = std::move(AHook);
    }

private:
    std::function<void(bool AHandleAll)> FProcessHook;
};
