#pragma once

namespace kf {

class KleurFlitsFrm;

// Ends the process at once with the status, wherever the event loop is nested: no destructor
// and no further window event runs. Everything must be switched off and sent before.
[[noreturn]] void endProcess(int status);

// Holds SIGINT and SIGTERM back until runShutdownOnSignals takes them: one that comes while
// the program starts then ends it cleanly instead of killing it. Call first thing in main(),
// before any thread starts, so that every thread holds them back.
void holdEndSignals();

// SIGINT and SIGTERM run the window's shutdown (the same as the Close button) from its event
// loop; a signal held back since start-up is taken now. Call once, after the window exists.
void runShutdownOnSignals(KleurFlitsFrm& form);

}  // namespace kf
