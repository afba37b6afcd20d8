#ifndef PROTOBUFHELPER_H
#define PROTOBUFHELPER_H

// Checks that the protobuf runtime is one the version-query messages can use;
// a mismatch is reported and ends the process inside the protobuf library.
void protobufHelperInit();
// Releases the protobuf library's global data at shut-down.
void protobufHelperShutdown();

#endif // PROTOBUFHELPER_H
