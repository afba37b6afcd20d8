#ifndef UPDATERMAIN_H
#define UPDATERMAIN_H

// The whole run of the updater program: start-up, the event loop and
// shut-down. Returns the process exit code: 0 after a normal end, a failed
// version query or when another instance is running; 1 when the command line
// or the configuration is unusable; 2 after an engine error.
int updaterMain(int argc, char* argv[]);

#endif // UPDATERMAIN_H
