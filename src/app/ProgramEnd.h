#pragma once

namespace kf {

class KleurFlitsFrm;

// Ends the process at once with the status, wherever the event loop is nested: no destructor
// and no further window event runs. Everything must be switched off and sent before.
[[noreturn]] void endProcess(int status);

// SIGINT and SIGTERM run the window's shutdown (the same as the Close button) from its event
// loop. Call once, after the window exists.
void runShutdownOnSignals(KleurFlitsFrm& form);

}  // namespace kf
