#pragma once
// Ctrl+C (SIGINT) and SIGTERM: the first one asks the running job to stop at
// its next progress event (or, for a transfer, its next poll slice while it
// waits), so that it can leave its files in order; a second one ends the
// program at once. Either way the scratch folder, if one is set, goes with
// the program, as it would at a normal end.

#include <QString>

namespace larkvale::cli {

void InstallInterruptHandler();
bool Interrupted();
// Ends the program by the signal that asked it to stop, with the default
// action, so that the calling shell sees the interruption (and stops a loop).
[[noreturn]] void EndAsInterrupted();

// The private scratch folder a signal removes with everything in it; one at
// a time, until `ForgetScratchFolder` (its owner removes it at a normal end).
void RemoveOnInterrupt(const QString& folder);
void ForgetScratchFolder();

}  // namespace larkvale::cli
