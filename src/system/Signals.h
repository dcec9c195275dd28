// Termination signals.
#pragma once

namespace Platform {

// SIGTERM, SIGINT and SIGHUP end the event loop the normal way, so that quitting still stops
// the children. Call once, after the application object exists.
void quitOnTerminationSignals();

} // namespace Platform
