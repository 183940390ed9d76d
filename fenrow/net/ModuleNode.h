// What the host knows of a board (ModuleNode) and of each of its readout
// streams (DataStream), and two small containers kept beside them.
//
// Nodes are created and stamped on the board manager's server thread and read
// from other threads: the last-seen stamp and the firmware word are atomic;
// the stream list is built once, before the node is registered.
#ifndef BRISKO_FENROW_NET_MODULENODE_H
#define BRISKO_FENROW_NET_MODULENODE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Ostrel {
class Module;
}

class DataStream {
public:
    DataStream(int id, int nchip);

    unsigned id() const { return _id; }
    unsigned nchip() const { return _nchip; }
    int nchan() const { return _nchan; }
    unsigned chip_type() const { return _chip_type; }
    unsigned readout_mode() const { return _readout_mode; }
    unsigned nadj() const { return _nadj; }
    unsigned polarity() const { return _polarity; }
    unsigned firmware() const { return _firmware.load(std::memory_order_relaxed); }
    bool get_hold() const { return _hold; }
    bool vout() const { return _vout; }
    Ostrel::Module* get_module() const;

    // Leaves the channel count as it is.
    void set_nchip(int n) { _nchip = static_cast<unsigned>(n); }
    void set_nchan(int n) { _nchan = n; }
    void set_chip_type(int type) { _chip_type = static_cast<unsigned>(type); }
    void set_nadj(int n) { _nadj = static_cast<unsigned>(n); }
    void set_polarity(int p) { _polarity = static_cast<unsigned>(p); }
    void set_hold(bool on) { _hold = on; }
    void set_vout(bool on) { _vout = on; }
    // A stream module clears its link before it goes: the firmware a board
    // reports meanwhile reaches it only while it is linked.
    void set_module(Ostrel::Module* module);
    void set_readout_mode(int mode, int nadj);
    // Keeps the low 32 bits and hands them to the stream module's analysis.
    void set_firmware(unsigned long fw);
    // Runs f under the settings lock of the stream module that serves the
    // stream: the lock of the record's settings, which that module writes.
    // The module stays while f runs. For a caller that does not hold a
    // stream module's settings lock already.
    void with_settings(const std::function<void()>& f) const;
    // Every field of the other stream; the module is shared, not copied.
    void copy(const DataStream& other);

private:
    unsigned _id;
    unsigned _nchip;
    int _nchan;
    unsigned _chip_type = 5;
    unsigned _readout_mode = 1;
    unsigned _nadj = 0;
    unsigned _polarity = 1;
    std::atomic<unsigned> _firmware{0};
    bool _hold = false;
    bool _vout = false;
    mutable std::mutex _module_mutex;
    Ostrel::Module* _module = nullptr;
};

// True for a stream of the given id.
struct data_stream_finder {
    explicit data_stream_finder(int id) : _id(id) {}
    bool operator()(const DataStream* s) const { return s && static_cast<int>(s->id()) == _id; }
    int _id;
};

class ModuleNode {
public:
    ModuleNode();
    ModuleNode(const std::string& ip, int port);
    ~ModuleNode();
    ModuleNode(const ModuleNode&) = delete;
    ModuleNode& operator=(const ModuleNode&) = delete;

    const std::string& ip() const { return _ip; }
    int port() const { return _port; }
    unsigned long firmware() const { return static_cast<unsigned long>(_firmware.load(std::memory_order_relaxed)); }

    int nstreams() const { return static_cast<int>(_streams.size()); }
    // The i-th stream in creation order; null outside 0 .. nstreams() - 1.
    DataStream* stream(int i) const;
    DataStream* find_stream(int id) const;

    // Stamps the last-seen time: now, or when the board's datagram came
    // (the zero time point stands for now).
    void registered();
    void registered(std::chrono::steady_clock::time_point when);
    // Seconds since the last stamp (since construction before the first).
    double last_seen() const;
    // Whether the last stamp is older than the time.
    bool seen_before(std::chrono::steady_clock::time_point when) const;

    // A silence of the board, as its manager judges it: from when it
    // noticed until a datagram comes again. The server thread's.
    bool silent() const { return _silent.load(std::memory_order_relaxed); }
    void set_silent() { _silent.store(true, std::memory_order_relaxed); }
    // Ends a silence: its seconds, from the last stamp before it to now;
    // negative when the board was not silent.
    double end_silence();
    // Whether the silence was said to have gone on for long (once).
    bool dead_said() const { return _dead_said.load(std::memory_order_relaxed); }
    void set_dead_said() { _dead_said.store(true, std::memory_order_relaxed); }

    // nstreams streams of nchip chips of the type, in adjacent mode with 15
    // adjacent channels; stream k has id ids[k], or k without ids. Streams
    // the node held before stay alive until the node goes: stream modules
    // may still point at them.
    void configure(int nstreams, int nchip, int chip_type, const int* ids);
    // Stores the word and hands it to every stream.
    void set_firmware(unsigned long fw);
    // Deletes every stream.
    void clear();

private:
    std::string _ip;
    int _port = -1;
    std::atomic<std::uint64_t> _firmware{0};
    std::vector<DataStream*> _streams;
    std::vector<std::unique_ptr<DataStream>> _retired;
    std::atomic<std::int64_t> _seen_us;
    std::atomic<bool> _silent{false};
    std::atomic<bool> _dead_said{false};
};

// A sized, owned byte block.
class DataBlock {
public:
    // size bytes copied from src, or zeroed without src. A negative size
    // gives an empty block.
    DataBlock(int size, const char* src);
    DataBlock(const DataBlock&) = delete;
    DataBlock& operator=(const DataBlock&) = delete;

    // Takes a copy of the other block's size and bytes.
    void cpy(const DataBlock& other);
    unsigned size() const { return static_cast<unsigned>(_bytes.size()); }
    char* data() { return _bytes.data(); }
    const char* data() const { return _bytes.data(); }

private:
    std::vector<char> _bytes;
};

// A first-in first-out queue of owned blocks that takes blocks while it holds
// no more than its bound.
class DataBuffer {
public:
    explicit DataBuffer(int bound);
    ~DataBuffer();
    DataBuffer(const DataBuffer&) = delete;
    DataBuffer& operator=(const DataBuffer&) = delete;

    bool full() const { return _blocks.size() > _bound; }
    // Takes b; deletes it when the queue is full.
    void push_block(DataBlock* b);
    // The oldest block, handed to the caller; null when empty.
    DataBlock* get_block();
    void flush();
    std::size_t size() const { return _blocks.size(); }

private:
    std::deque<DataBlock*> _blocks;
    std::size_t _bound;
};

#endif
