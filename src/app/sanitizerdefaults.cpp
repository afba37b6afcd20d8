// Defaults for AddressSanitizer builds of every program that shows the
// window (the updater, and the tests that run its window or start-up in
// their own process). Qt's offscreen platform plugin, which tests and the
// demo use, never frees its screen; full stacks let the suppression find the
// plugin under the allocation. Without ASan nothing calls these.

extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

// The suppression's count would otherwise be printed on standard error at
// every exit, where a healthy run prints nothing.
extern "C" const char* __lsan_default_options()
{
    return "print_suppressions=0";
}

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n";
}
