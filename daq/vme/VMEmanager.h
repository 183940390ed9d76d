// Access to modules on a VME bus, independent of the bus adapter. A driver
// library derives from VMEmanager and exports a factory routine that the
// configuration names; until one is installed the factory makes a manager
// that never reaches a bus.
#ifndef BRISKO_DAQ_VME_VMEMANAGER_H
#define BRISKO_DAQ_VME_VMEMANAGER_H

#include <cstdint>
#include <string>

#include "ostrel/Thread.h"

class VMEmanager;

// A driver's factory routine.
typedef VMEmanager* (*VME_Factory)();
// An interrupt handler; it gets the interrupt vector.
typedef void (*InterruptFunc)(int);

class VMEmanager {
public:
    struct IRQinfo {
        unsigned long irqs;
        unsigned long vector;
        int level;
    };

    // Resolves a library name to a full path, or gives the empty text when it
    // finds nothing. The library search of the main program lives above this
    // library, so the caller hands it in.
    typedef std::string (*LibraryFinder)(const std::string& name);

    VMEmanager(const VMEmanager&) = delete;
    VMEmanager& operator=(const VMEmanager&) = delete;
    virtual ~VMEmanager();

    virtual unsigned long map_address(unsigned long address, int size, int mode);
    // Whether the manager reaches a bus.
    virtual bool connected() = 0;
    virtual void check_rc(int rc);
    virtual int get_rc();

    // The defaults read 0 and write nothing.
    virtual unsigned char read8(unsigned long address);
    virtual void write8(unsigned long address, unsigned char value);
    virtual unsigned short read16(unsigned long address);
    virtual void write16(unsigned long address, unsigned short value);
    virtual unsigned long read32(unsigned long address);
    virtual void write32(unsigned long address, unsigned long value);
    virtual unsigned long readA32D32(unsigned long address);
    virtual void writeA32D32(unsigned long address, unsigned long value);
    virtual unsigned long readA32BLT32(unsigned long address, uint32_t* buffer,
                                       unsigned long count);
    virtual unsigned long readA322EVME(unsigned long address, uint32_t* buffer,
                                       unsigned long count);
    // `count` reads of the same address through read32, so a driver gets it
    // by implementing read32. Returns 0.
    virtual int readA24_fifo32(unsigned long address, unsigned int count, unsigned int* buffer);
    virtual void acknowledge(IRQinfo* info);
    virtual void Reset();
    virtual void enable_interrupts(InterruptFunc handler, unsigned short mask);
    virtual void disable_interrupts();

    // The manager that the current factory makes.
    static VMEmanager* VME();
    // Lock and unlock for callers that share one manager between threads.
    void acquire() { mtx.lock(); }
    void release() { mtx.unlock(); }

    // Installs the routine `routine` of the library `lib` (the program itself
    // when empty) as the factory. A library the system loader does not find
    // by its name is looked for with `finder`, when one is given. On failure
    // two lines go to standard output and the factory in force stays.
    static void set_factory(const std::string& routine, std::string lib,
                            LibraryFinder finder = nullptr);
    static void set_default_factory();

protected:
    VMEmanager();

    Ostrel::Mutex mtx;
    int _rc;

    static VME_Factory __factory__;
};

// The manager of the default factory: never connected.
class DummyVME : public VMEmanager {
public:
    DummyVME();
    ~DummyVME() override;
    bool connected() override;
};

extern "C" {

// The default factory: one DummyVME, made on first use and destroyed at exit.
VMEmanager* __dummy_factory__();

// Random numbers from the C library's rand().
double randuniform();
double randflat(double a, double b);
// Normal deviates by the polar method; the second deviate of a draw is kept
// for the next call with the same mean and width.
double randgauss(double mean, double stdev);
void randgauss2d(double m1, double s1, double m2, double s2, double corr, double* x, double* y);

}

#endif
