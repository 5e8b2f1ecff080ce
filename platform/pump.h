#pragma once
// The one message pump. Long operations on the UI thread (transfers, saves,
// the runner's pause, waits for the network) call ProcessMessages from their
// progress callbacks, so any handler of the window may run nested inside
// them: callers re-check their state after each call.
//
// A transfer calls it for every received block, thousands of times a
// second. On a real display a pass over the window system's queue (reading
// the display connection, flushing, repainting) costs far more than a block,
// so the pump does that work at most once every kPumpIntervalMs and returns
// at once between: input, timers and Stop are still seen well within a frame.

namespace larkvale::platform {

constexpr int kPumpIntervalMs = 4;

// Processes all pending window messages, unless it did so less than
// kPumpIntervalMs ago.
void ProcessMessages();

// A wait that serves window messages in an event loop of its own (a save of
// the converter) counts as a pump on the stack while this lives, so that
// work meant for the top level waits for its end.
class PumpScope {
 public:
  PumpScope();
  ~PumpScope();
  PumpScope(const PumpScope&) = delete;
  PumpScope& operator=(const PumpScope&) = delete;
};

// Whether control is in the top-level event loop: no pump on the stack and
// no nested event loop (a modal dialog) running.
bool AtTopLevel();

}  // namespace larkvale::platform
