// The acquisition set up as the program's start-up does it: the built-in
// run-manager kinds behind the configuration's factories, then "main" with
// every module.
#ifndef BRISKO_TESTS_COMMON_SET_UP_ACQUISITION_H
#define BRISKO_TESTS_COMMON_SET_UP_ACQUISITION_H

#include "config/PluginParser.h"
#include "daq/DAQcontroller.h"

namespace testutil {

inline void set_up_acquisition()
{
    PluginParser::set_builtin_factory(&DAQcontroller::builtin_factory);
    DAQcontroller::instance()->setup_daq(0, nullptr);
}

} // namespace testutil

#endif
