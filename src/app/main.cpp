#include "updatermain.h"

int main(int argc, char* argv[])
{
    return updaterMain(argc, argv);
}

#if defined(__SANITIZE_ADDRESS__)
#define QND_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QND_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef QND_ADDRESS_SANITIZER
// Sanitizer builds only: Qt's offscreen platform plugin (tests, the demo)
// never frees its screen. Full stacks let the suppression find the plugin
// under the allocation.
extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n";
}
#endif
