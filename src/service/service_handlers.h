// The work the service host runs, injected so that the host is testable without a database.
#pragma once

#include <functional>
#include <string>

namespace tessel::service {

// What one work cycle came to.
enum class CycleResult {
    Completed,     // the settings were read and the queue was drained (or a stop ended the drain)
    Deferred,      // completed, but the mail server could not be used: mail is waiting
    Held,          // the hold switch stopped the cycle after the settings
    Standby,       // another instance works on the database: the cycle stopped after the settings
    NotConnected,  // the database could not be reached; nothing else ran
};

struct ServiceHandlers {
    // ServiceStart - the start-up configuration; returns Started (true: go on to running).
    // Throws on failure (a malformed password value), which fails the start.
    std::function<bool()> ServiceStart;
    // RunCycle - one pass of the work; any error it throws ends the service.
    std::function<CycleResult()> RunCycle;
    // ServiceStop - returns Stopped; left empty, a stop is never refused.
    std::function<bool()> ServiceStop;
    // LastConnectError - why the last cycle could not reach the database; may be left empty.
    std::function<std::string()> LastConnectError;
    // InterruptWork - called on the thread that receives a stop or shutdown, at once: the cycle in
    // progress ends at its next message boundary. May be left empty. Must not block.
    std::function<void()> InterruptWork;
    // ResumeWork - called by the worker when a stop request ended without stopping the service.
    std::function<void()> ResumeWork;
    // RequestFlush - called on the thread that receives a flush request, at once: the next cycle
    // (or the end of the one in progress) clears every back-off first. May be left empty. Must not
    // block.
    std::function<void()> RequestFlush;
    // PauseWork - called on the thread that receives a pause, at once: the cycle in progress ends at
    // its next message boundary (without cutting a message short). May be left empty. Must not block.
    std::function<void()> PauseWork;
    // ContinueWork - called by the worker when it continues after a pause.
    std::function<void()> ContinueWork;
};

}  // namespace tessel::service
