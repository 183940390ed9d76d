#include "daq/TellumLogger.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "daq/GenModule.h"
#include "daq/ScanRunManager.h"
#include "daq/TellumRunManager.h"
#include "data/Analysis.h"

namespace {

using Words = std::vector<uint32_t>;

// Record kinds, in bits 12-15 of a side record's first word.
enum Kind : uint32_t {
    Header = 0xCAFE1000u,
    Tail = 0xCAFE3000u,
    ScanPointRecord = 0xCAFE5000u,
    MapRecord = 0xCAFE6000u,
    ScanDefinition = 0xCAFE7000u,
    Configuration = 0xCAFE8000u
};

// Values of these types are fractional: the point record keeps them in
// hundredths and the definition record as floats.
bool fractional(int type)
{
    return type == ScanVar::pulse || (type >= ScanVar::xposition && type <= ScanVar::angle3);
}

// The value truncated toward zero, its low 32 bits (a negative value wraps
// as a 32-bit integer would); values beyond 64 bits saturate.
uint32_t truncated(double v)
{
    if (!(std::fabs(v) < 9.2e18))
        return v > 0 ? 0xFFFFFFFFu : 0u;
    return static_cast<uint32_t>(static_cast<int64_t>(v));
}

uint32_t float_bits(double v)
{
    const float f = static_cast<float>(v);
    uint32_t w;
    std::memcpy(&w, &f, sizeof w);
    return w;
}

uint32_t module_id(const GenModule* m)
{
    return static_cast<uint32_t>(m->get_id().to_int());
}

} // namespace

TellumLogger::TellumLogger(TellumRunManager* rm, bool compress, unsigned long max_size)
    : DataLogger(rm, compress, max_size)
{
    set_header_func([](const char** block, void* self) { return writeHeader(block, static_cast<TellumLogger*>(self)); },
                    this);
    set_tail_func([](const char** block, void* self) { return writeTail(block, static_cast<TellumLogger*>(self)); },
                  this);
    set_extension("data");
}

TellumLogger::~TellumLogger()
{
    // A file left open would lack its tail record.
    if (is_open())
        close();
}

// Every record goes out in one write, so that a new file, which the file
// manager starts after a write, never begins inside a record.
void TellumLogger::put(const std::vector<uint32_t>& words)
{
    if (!words.empty())
        write(reinterpret_cast<const char*>(words.data()), words.size() * sizeof(uint32_t));
}

int TellumLogger::writeHeader(const char** block, TellumLogger* logger)
{
    *block = nullptr;
    const std::vector<GenModule*> modules = logger->run_modules();
    const uint32_t n = static_cast<uint32_t>(modules.size());
    Words w;
    w.reserve(n + 5);
    w.push_back(Header | (n + 5));
    w.push_back(static_cast<uint32_t>(logger->wall_time()));
    w.push_back(logger->run_number());
    w.push_back(n);
    for (GenModule* m : modules) {
        unsigned int word = 0;
        m->set_header_description(word);
        w.push_back(word);
    }
    w.push_back(n + 5);
    logger->put(w);

    logger->writePedestals();
    logger->writeMaps();
    logger->writeConfig();
    logger->writeScanDefinition();
    return 0;
}

int TellumLogger::writeTail(const char** block, TellumLogger* logger)
{
    const uint32_t w[4] = {Tail | 4, static_cast<uint32_t>(logger->wall_time()), logger->run_number(), 4};
    char* out = new char[sizeof w];
    std::memcpy(out, w, sizeof w);
    *block = out;
    return static_cast<int>(sizeof w);
}

uint32_t TellumLogger::run_number() const
{
    return run_manager ? static_cast<uint32_t>(run_manager->get_run_number()) : 0;
}

void TellumLogger::writePedestals()
{
    for (GenModule* m : run_modules()) {
        int n = 0;
        unsigned int* words = m->write_pedestals(n);
        if (words && n > 0)
            write(reinterpret_cast<const char*>(words), static_cast<unsigned long>(n) * sizeof(unsigned int));
        delete[] words;
    }
}

void TellumLogger::writeMaps()
{
    for (GenModule* m : run_modules()) {
        const Analysis* ana = m->get_analysis();
        if (!ana)
            continue;
        uint32_t shape = 0;
        const Words pairs = pad_words(*ana, shape);
        if (pairs.empty())
            continue;
        // The length announced is the length written, also for an odd
        // channel count, so that readers stay in step.
        const uint32_t len = static_cast<uint32_t>(pairs.size()) + 4;
        Words w{MapRecord | len, module_id(m), shape};
        w.insert(w.end(), pairs.begin(), pairs.end());
        w.push_back(len);
        put(w);
    }
}

void TellumLogger::writeConfig()
{
    for (GenModule* m : run_modules()) {
        int s = 0;
        unsigned int* words = m->write_config(s);
        if (words && s > 0) {
            const uint32_t len = (static_cast<uint32_t>(s) + 3) & 0xFFF;
            Words w{Configuration | len, module_id(m)};
            w.insert(w.end(), words, words + s);
            w.push_back(len);
            put(w);
        }
        delete[] words;
    }
}

void TellumLogger::writeScanDefinition()
{
    ScanRunManager* scan = scan_manager();
    if (!scan)
        return;
    const uint32_t v = static_cast<uint32_t>(scan->get_n_var());
    Words w{ScanDefinition | (3 * v + 4), v, static_cast<uint32_t>(scan->nevt_per_point())};
    for (uint32_t i = 0; i < v; ++i) {
        const ScanVar& var = scan->get_var(static_cast<int>(i));
        const int type = var.type();
        const bool real = fractional(type);
        w.push_back((real ? 0x80000000u : 0u) | (static_cast<uint32_t>(type) & 0xFFF) << 16 |
                    (static_cast<uint32_t>(var.n_points()) & 0xFFFF));
        w.push_back(real ? float_bits(var.first()) : truncated(var.first()));
        w.push_back(real ? float_bits(var.last()) : truncated(var.last()));
    }
    w.push_back(3 * v + 4);
    put(w);
}

void TellumLogger::writeScanPoint()
{
    ScanRunManager* scan = scan_manager();
    if (!scan)
        return;
    const ScanPoint& point = scan->get_current();
    const uint32_t v = static_cast<uint32_t>(point.nvar());
    Words w{ScanPointRecord | (v + 3), static_cast<uint32_t>(scan->nevt_per_point()) << 8 | v};
    for (const ScanVar& var : point) {
        const int type = var.type();
        // Other types must lie in 0 .. 0x0FFFFFFF to leave the type bits
        // clean; the file format has no room to say otherwise.
        const uint32_t value = fractional(type) ? truncated(var.value() * 100.0) & 0x0FFFFFFFu : truncated(var.value());
        w.push_back(static_cast<uint32_t>(type) << 28 | value);
    }
    w.push_back(v + 3);
    put(w);
}
