// The event record: how one event travels from a module to the run
// manager, the loggers and the analysis.
#ifndef OSTREL_TELLUMDATA_H
#define OSTREL_TELLUMDATA_H

#include <cstdint>

#include "ostrel/ModuleData.h"

// A 16-byte header at the start of a framework event block, followed by the
// module's payload. Fields are in host byte order: the native binary run
// file stores the record exactly as it lies in memory. The record does not
// own its memory; the block does.
struct TellumData {
    uint16_t header;          // always 0xCAFE
    uint16_t record_type;     // 0x2000: event record of a readout board
    uint32_t event_counter;   // stamped by the run manager
    uint16_t mod_id;          // integer value of the module's identifier
    uint16_t data_type;       // kind of payload
    uint32_t size;            // bytes of the whole block, header included
    char data[];              // the payload, laid out by the module class

    static constexpr uint16_t MARKER = 0xCAFE;
    static constexpr uint16_t EVENT_RECORD = 0x2000;

    TellumData(uint16_t record_type, uint16_t mod_id, uint16_t data_type, uint32_t size);

    // A new block for a payload of `payload_size` bytes, with the header
    // built in place (data type 0). The block is ((payload_size >> 2) + 1) * 4
    // + 20 bytes: the payload may be written as whole 32-bit words. A negative
    // size counts as 0.
    static Ostrel::ModuleData* create_packet(uint16_t record_type, uint16_t mod_id, int payload_size);

    // The record at the start of a block; null for a block too short to hold
    // a header.
    static TellumData* from(Ostrel::ModuleData* block);
};

static_assert(sizeof(TellumData) == 16, "the event record header is 16 bytes");

#endif
