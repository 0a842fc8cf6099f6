#pragma once

#include <string_view>

#include "output/OutputStreams.hpp"

namespace quarno {

// Ends a run early with the given exit status (interrupt).
struct Interrupted {
  int status;
};

// Opens any of standard input, output and error that is closed on /dev/null,
// so that no file the run opens takes its descriptor and receives console
// text. Ignores SIGPIPE and SIGXFSZ: a console that goes away is given up and
// a results file that reaches its size limit is reported as a write error,
// instead of the process being killed with its files half written.
void secure_standard_streams();

// SIGINT and SIGTERM end the run at its next check point with exit status
// 130 or 143, after the output files have been flushed. A second signal ends
// the process at once.
void install_interrupt_handlers();
// Throws Interrupted when a signal has arrived.
void check_interrupt();
// The exit status of the signal that has arrived (130 or 143), or 0.
int interrupt_status();

// A console pause: the message on a line of its own, flushed; then, only
// when the outputs say so (standard input is a terminal and pauses are not
// switched off), one line is read from standard input. Any line continues the
// run, and so do the end of input and a read error. A script's or a pipe's
// input is never consumed.
void pause(Outputs& out, std::string_view message);

}  // namespace quarno
