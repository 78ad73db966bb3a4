#pragma once

// How long the launcher waits between attempts, and how long a transfer may stall, in one place. The
// attempt counts belong to each operation and never change; only the pauses and windows do: the real
// launcher uses RetryPolicy::real(), the test build a shortened copy, so tests wait milliseconds where
// a player waits seconds.
struct RetryPolicy
{
    // A failed download attempt n (1-based) of a part waits n times this before the next one.
    int downloadPauseStepMSecs;
    // A file operation on the install (rename, removal, folder creation) waits this after each failure.
    int fileOperationPauseMSecs;
    // Another launcher still running: the single-instance lock is tried again after this.
    int instancePauseMSecs;
    // A request whose headers don't arrive, or that receives less than stallMinimumBytes, within any
    // window of this length counts as a failed attempt. The window opens when the request leaves Qt's
    // queue, not when it is made.
    int stallWindowMSecs;
    int stallMinimumBytes;
    // How long a permanent console line may wait for a standard output that doesn't take it (a reader
    // that stopped reading) before it is dropped.
    int consoleWriteWaitMSecs;

    static constexpr RetryPolicy real() { return {100, 100, 500, 20000, 1024, 1000}; }
    // The same policy with every pause and window cut short, for the test build.
    static constexpr RetryPolicy shortened() { return {5, 5, 50, 1000, 1024, 200}; }
};
