// Guards of the helper process against its host: termination signals never
// cut an output line, and a host that stops reading ends the helper.
#ifndef VESKAR_APP_PROCESS_GUARDS_H_
#define VESKAR_APP_PROCESS_GUARDS_H_

#include "protocol/event_writer.h"

namespace veskar {

// SIGTERM and SIGINT are taken by a thread of their own, which waits (briefly)
// until no line is being written to `sink`, then lets the signal end the
// process as usual. Call before any other thread starts: threads inherit
// the blocked signal mask.
void guardTerminationSignals(OutputSink& sink);

// Ends the process with the sink's closedExitStatus() as soon as nobody can
// read its descriptor `fd` any more (the host closed its end of the pipe),
// even while the helper is idle.
void exitWhenUnread(int fd, const OutputSink& sink);

}  // namespace veskar

#endif  // VESKAR_APP_PROCESS_GUARDS_H_
