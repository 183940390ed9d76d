// A VME driver for the factory tests: connected, and every read32 gives the
// next number from 1 on.
#include "daq/vme/VMEmanager.h"

namespace {

class CountingVME : public VMEmanager {
public:
    bool connected() override { return true; }
    unsigned long read32(unsigned long) override { return ++count; }

private:
    unsigned long count = 0;
};

} // namespace

extern "C" VMEmanager* counting_vme_factory()
{
    return new CountingVME;
}
