#include "protobufhelper.h"

#include <google/protobuf/stubs/common.h>

namespace {

// The oldest runtime the messages were written for.
const int kMinimumLibraryVersion = 3000000;

} // namespace

void protobufHelperInit()
{
    // The header version must be the one we were compiled against: the
    // runtime refuses headers older than itself, so a fixed older number
    // would end every start.
    google::protobuf::internal::VerifyVersion(GOOGLE_PROTOBUF_VERSION, kMinimumLibraryVersion, __FILE__);
}

void protobufHelperShutdown()
{
    google::protobuf::ShutdownProtobufLibrary();
}
