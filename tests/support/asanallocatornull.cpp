// Linked into the engine test programs whose out-of-memory cases need a null
// from non-throwing new under AddressSanitizer instead of a report; options
// from the environment still apply on top.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}
