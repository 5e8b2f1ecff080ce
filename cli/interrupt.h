#pragma once
// Ctrl+C (SIGINT) and SIGTERM: the first one asks the running job to stop at
// its next progress event (or, for a transfer, its next poll slice while it
// waits), so that it can leave its files in order; a second one ends the
// program at once (the handler resets itself).

namespace larkvale::cli {

void InstallInterruptHandler();
bool Interrupted();
// Ends the program by the signal that asked it to stop, with the default
// action, so that the calling shell sees the interruption (and stops a loop).
[[noreturn]] void EndAsInterrupted();

}  // namespace larkvale::cli
