// A library for the hook chooser's tests: its own list of entry points,
// not in name order, a name longer than any line buffer, and a constructor
// that tells whether the library was ever opened.
#include <cstdlib>

extern "C" {

void zeta_hook() {}
void alpha_hook() {}
void start_init_x() {}
void middle_fini() {}
void a_function_whose_name_goes_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on_and_on() {}

const char** tellum_get_exported_symbols()
{
    static const char* names[] = {"zeta_hook", "alpha_hook", "start_init_x", nullptr};
    return names;
}

} // extern "C"

namespace {

__attribute__((constructor)) void opened()
{
    setenv("HOOK_PLUGIN_OPENED", "1", 1);
}

} // namespace
