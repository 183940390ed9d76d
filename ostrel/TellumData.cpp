#include "ostrel/TellumData.h"

#include <new>

TellumData::TellumData(uint16_t rtype, uint16_t id, uint16_t dtype, uint32_t bytes)
    : header(MARKER), record_type(rtype), event_counter(0), mod_id(id), data_type(dtype), size(bytes)
{
}

Ostrel::ModuleData* TellumData::create_packet(uint16_t record_type, uint16_t mod_id, int payload_size)
{
    const unsigned payload = payload_size > 0 ? static_cast<unsigned>(payload_size) : 0u;
    const uint32_t bytes = ((payload >> 2) + 1) * 4 + 20;
    Ostrel::ModuleData* block = Ostrel::ModuleData::new_block(bytes);
    new (block->data()) TellumData(record_type, mod_id, 0, bytes);
    return block;
}

TellumData* TellumData::from(Ostrel::ModuleData* block)
{
    if (!block || block->size() < sizeof(TellumData))
        return nullptr;
    return reinterpret_cast<TellumData*>(block->data());
}
