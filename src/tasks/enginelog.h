#ifndef ENGINELOG_H
#define ENGINELOG_H

// Sends the patch engine's diagnostics into the Qt messages, and so into the
// log file: its failures as lines that also reach standard error (they say
// why an unpack or a patch failed), the rest as debug lines. Call once at
// start-up, before any thread runs; later calls change nothing.
void forwardEngineLog();

#endif // ENGINELOG_H
