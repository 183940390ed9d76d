#include "daq/GuiThread.h"

#include <thread>

namespace {

// Taken while the library's static objects are built, which happens on the
// thread that loads it.
const std::thread::id gui_thread = std::this_thread::get_id();

} // namespace

bool on_gui_thread()
{
    return std::this_thread::get_id() == gui_thread;
}
