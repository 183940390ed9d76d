// The font configuration of the toolkit keeps its caches until the process
// ends; LeakSanitizer, in a sanitized build, reports everything else.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
