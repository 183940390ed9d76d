#include "fenrow/net/ModuleNode.h"

#include "fenrow/streams/FenrowStream.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// Monotonic, so that a clock step never makes a board look dead or alive.
std::int64_t now_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

DataStream::DataStream(int id, int nchip)
    : _id(static_cast<unsigned>(id)), _nchip(static_cast<unsigned>(nchip)), _nchan(nchip * 128)
{
}

void DataStream::set_readout_mode(int mode, int nadj)
{
    _readout_mode = static_cast<unsigned>(mode);
    _nadj = static_cast<unsigned>(nadj);
}

void DataStream::set_firmware(unsigned long fw)
{
    _firmware.store(static_cast<unsigned>(fw & 0xFFFFFFFFul), std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(_module_mutex);
    if (auto* stream = dynamic_cast<Ostrel::FenrowStream*>(_module))
        stream->set_analysis_firmware(fw & 0xFFFFFFFFul);
}

void DataStream::with_settings(const std::function<void()>& f) const
{
    std::lock_guard<std::mutex> lock(_module_mutex);
    auto* stream = dynamic_cast<Ostrel::FenrowStream*>(_module);
    if (!stream) {
        f();
        return;
    }
    std::lock_guard<std::recursive_mutex> settings(stream->chips_lock());
    f();
}

Ostrel::Module* DataStream::get_module() const
{
    std::lock_guard<std::mutex> lock(_module_mutex);
    return _module;
}

void DataStream::set_module(Ostrel::Module* module)
{
    std::lock_guard<std::mutex> lock(_module_mutex);
    _module = module;
}

void DataStream::copy(const DataStream& other)
{
    if (&other == this)
        return;
    _id = other._id;
    _nchip = other._nchip;
    _nchan = other._nchan;
    _chip_type = other._chip_type;
    _readout_mode = other._readout_mode;
    _nadj = other._nadj;
    _polarity = other._polarity;
    _firmware.store(other.firmware(), std::memory_order_relaxed);
    _hold = other._hold;
    _vout = other._vout;
    set_module(other.get_module());
}

ModuleNode::ModuleNode() : _seen_us(now_us())
{
}

ModuleNode::ModuleNode(const std::string& ip, int port) : _ip(ip), _port(port), _seen_us(now_us())
{
}

ModuleNode::~ModuleNode()
{
    clear();
}

DataStream* ModuleNode::stream(int i) const
{
    if (i < 0 || i >= nstreams())
        return nullptr;
    return _streams[static_cast<std::size_t>(i)];
}

DataStream* ModuleNode::find_stream(int id) const
{
    auto it = std::find_if(_streams.begin(), _streams.end(), data_stream_finder(id));
    return it == _streams.end() ? nullptr : *it;
}

void ModuleNode::registered()
{
    _seen_us.store(now_us(), std::memory_order_relaxed);
}

void ModuleNode::registered(std::chrono::steady_clock::time_point when)
{
    using namespace std::chrono;
    if (when == steady_clock::time_point{})
        registered();
    else
        _seen_us.store(duration_cast<microseconds>(when.time_since_epoch()).count(), std::memory_order_relaxed);
}

double ModuleNode::last_seen() const
{
    return static_cast<double>(now_us() - _seen_us.load(std::memory_order_relaxed)) * 1e-6;
}

bool ModuleNode::seen_before(std::chrono::steady_clock::time_point when) const
{
    using namespace std::chrono;
    return _seen_us.load(std::memory_order_relaxed) < duration_cast<microseconds>(when.time_since_epoch()).count();
}

double ModuleNode::end_silence()
{
    // Called for every datagram: no clock is read, and nothing written, for
    // a board that was not silent (the silence and its long-silence note
    // are set together, on the same thread as this).
    if (!_silent.load(std::memory_order_relaxed))
        return -1.0;
    // Read before the stamp that ends it: the silence lasted up to now.
    const double seconds = last_seen();
    _dead_said.store(false, std::memory_order_relaxed);
    return _silent.exchange(false, std::memory_order_relaxed) ? seconds : -1.0;
}

void ModuleNode::configure(int nstreams, int nchip, int chip_type, const int* ids)
{
    for (DataStream* s : _streams)
        _retired.emplace_back(s);
    _streams.clear();
    for (int pos = 0; pos < nstreams; ++pos) {
        auto* s = new DataStream(ids ? ids[pos] : pos, nchip);
        s->set_chip_type(chip_type);
        s->set_readout_mode(4, 15);
        s->set_firmware(firmware());
        _streams.push_back(s);
    }
}

void ModuleNode::set_firmware(unsigned long fw)
{
    _firmware.store(fw, std::memory_order_relaxed);
    for (DataStream* s : _streams)
        s->set_firmware(fw);
}

void ModuleNode::clear()
{
    for (DataStream* s : _streams)
        delete s;
    _streams.clear();
}

DataBlock::DataBlock(int size, const char* src) : _bytes(size > 0 ? static_cast<std::size_t>(size) : 0, 0)
{
    if (src && size > 0)
        std::memcpy(_bytes.data(), src, _bytes.size());
}

void DataBlock::cpy(const DataBlock& other)
{
    if (&other != this)
        _bytes = other._bytes;
}

DataBuffer::DataBuffer(int bound) : _bound(bound > 0 ? static_cast<std::size_t>(bound) : 0)
{
}

DataBuffer::~DataBuffer()
{
    flush();
}

void DataBuffer::push_block(DataBlock* b)
{
    if (full())
        delete b;
    else
        _blocks.push_back(b);
}

DataBlock* DataBuffer::get_block()
{
    if (_blocks.empty())
        return nullptr;
    DataBlock* b = _blocks.front();
    _blocks.pop_front();
    return b;
}

void DataBuffer::flush()
{
    for (DataBlock* b : _blocks)
        delete b;
    _blocks.clear();
}
