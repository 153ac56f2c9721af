// Runtime defaults of the sanitizer build (PELVANE_SANITIZE), linked into
// every program of that build. The runtimes ask for these hooks at start-up;
// options in the environment still override them.

#define PELVANE_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used))

PELVANE_SANITIZER_HOOK const char* __asan_default_options()
{
    return "detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1";
}

PELVANE_SANITIZER_HOOK const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

// Leaks that are not ours: allocations a library makes once and keeps for
// the life of the process.
PELVANE_SANITIZER_HOOK const char* __lsan_default_suppressions()
{
    // fontconfig's configuration cache, loaded by Qt's first font lookup.
    return "leak:libfontconfig.so\n";
}
