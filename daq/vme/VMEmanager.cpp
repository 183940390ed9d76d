// VME access: the VMEmanager interface, its driver factory and the dummy
// manager.
#include "daq/vme/VMEmanager.h"

#include <iostream>

#include <gmodule.h>

VME_Factory VMEmanager::__factory__ = __dummy_factory__;

VMEmanager::VMEmanager() : _rc(0) {}

VMEmanager::~VMEmanager() = default;

unsigned long VMEmanager::map_address(unsigned long address, int, int)
{
    return address;
}

void VMEmanager::check_rc(int rc)
{
    _rc = rc;
}

int VMEmanager::get_rc()
{
    return _rc;
}

unsigned char VMEmanager::read8(unsigned long)
{
    return 0;
}

void VMEmanager::write8(unsigned long, unsigned char) {}

unsigned short VMEmanager::read16(unsigned long)
{
    return 0;
}

void VMEmanager::write16(unsigned long, unsigned short) {}

unsigned long VMEmanager::read32(unsigned long)
{
    return 0;
}

void VMEmanager::write32(unsigned long, unsigned long) {}

unsigned long VMEmanager::readA32D32(unsigned long)
{
    return 0;
}

void VMEmanager::writeA32D32(unsigned long, unsigned long) {}

unsigned long VMEmanager::readA32BLT32(unsigned long, uint32_t*, unsigned long)
{
    return 0;
}

unsigned long VMEmanager::readA322EVME(unsigned long, uint32_t*, unsigned long)
{
    return 0;
}

int VMEmanager::readA24_fifo32(unsigned long address, unsigned int count, unsigned int* buffer)
{
    for (unsigned int i = 0; i < count; ++i)
        buffer[i] = static_cast<unsigned int>(read32(address) & 0xffffffffUL);
    return 0;
}

void VMEmanager::acknowledge(IRQinfo*) {}

void VMEmanager::Reset() {}

void VMEmanager::enable_interrupts(InterruptFunc, unsigned short) {}

void VMEmanager::disable_interrupts() {}

VMEmanager* VMEmanager::VME()
{
    return __factory__();
}

void VMEmanager::set_factory(const std::string& routine, std::string lib, LibraryFinder finder)
{
    GModule* module = g_module_open(lib.empty() ? nullptr : lib.c_str(), G_MODULE_BIND_LAZY);
    if (!module && !lib.empty() && finder) {
        const std::string path = finder(lib);
        if (!path.empty())
            module = g_module_open(path.c_str(), G_MODULE_BIND_LAZY);
    }
    if (!module) {
        std::cout << "VMEmanager::set_factory: could not open " << lib << "\n\t"
                  << g_module_error() << std::endl;
        return;
    }

    gpointer symbol = nullptr;
    if (!g_module_symbol(module, routine.c_str(), &symbol) || !symbol) {
        std::cout << "VMEmanager::set_factory: could not find " << routine << " in " << lib
                  << "\n\t" << g_module_error() << std::endl;
        g_module_close(module);
        return;
    }
    // Managers made by the driver run its code until the process ends.
    g_module_make_resident(module);
    __factory__ = reinterpret_cast<VME_Factory>(symbol);
}

void VMEmanager::set_default_factory()
{
    __factory__ = __dummy_factory__;
}

// ---------------------------------------------------------------------------

DummyVME::DummyVME() = default;

DummyVME::~DummyVME() = default;

bool DummyVME::connected()
{
    return false;
}

VMEmanager* __dummy_factory__()
{
    static DummyVME dummy;
    return &dummy;
}
