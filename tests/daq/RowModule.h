// A module whose events carry rows of a known layout, for the data-logger
// tests and benchmark. Each row is
//
//     u32 evt, 4 bytes of padding, f64 temp, u16 adc[nadc]
//
// which the data format "event {evt/I,temp/d,adc/<nadc>H}" describes (or,
// split, "evt/I,temp/d,adc/<nadc>H"). Row r of event e holds evt = 10 e + r,
// temp = 20 + e / 2 + r and adc[k] = (7 e + 3 k + r) & 0xFFF; the h5py
// checker computes the same rows.
#ifndef BRISKO_TESTS_DAQ_ROW_MODULE_H
#define BRISKO_TESTS_DAQ_ROW_MODULE_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/TestModule.h"
#include "ostrel/TellumData.h"

class RowModule : public Idle<GenModule> {
public:
    static constexpr int head_bytes = 16;

    RowModule(const Ostrel::DAQid& id, int nadc, Analysis* analysis = nullptr)
        : Idle<GenModule>(id, 0), nadc(nadc)
    {
        set_analysis(analysis);
    }
    ~RowModule() override { delete get_analysis(); }

    static int row_bytes(int nadc) { return head_bytes + 2 * nadc; }
    int row_bytes() const { return row_bytes(nadc); }

    // The row as the format lays it out.
    static void fill_row(char* row, int nadc, uint32_t event, int r)
    {
        std::memset(row, 0, static_cast<size_t>(row_bytes(nadc)));
        const uint32_t evt = 10 * event + static_cast<uint32_t>(r);
        const double temp = 20.0 + event * 0.5 + r;
        std::memcpy(row, &evt, 4);
        std::memcpy(row + 8, &temp, 8);
        for (int k = 0; k < nadc; ++k) {
            const uint16_t adc = static_cast<uint16_t>((7 * event + 3 * k + r) & 0xFFF);
            std::memcpy(row + head_bytes + 2 * k, &adc, 2);
        }
    }

    // An event record whose payload is `rows_per_event` rows of `given`
    // bytes (the row size when 0): a longer row ends in 0xAB filler, a
    // shorter one is cut.
    Ostrel::ModuleData* make_event(uint32_t event) const
    {
        const size_t given = static_cast<size_t>(given_row > 0 ? given_row : row_bytes());
        std::vector<char> row(std::max(given, static_cast<size_t>(row_bytes())), static_cast<char>(0xAB));
        Ostrel::ModuleData* block = TellumData::create_packet(
            TellumData::EVENT_RECORD, static_cast<uint16_t>(get_id().to_int()), static_cast<int>(given) * rows_per_event);
        TellumData* record = TellumData::from(block);
        record->event_counter = event;
        for (int r = 0; r < rows_per_event; ++r) {
            fill_row(row.data(), nadc, event, r);
            std::memcpy(record->data + given * static_cast<size_t>(r), row.data(), given);
        }
        return block;
    }

    std::string get_data_format() override
    {
        if (format_override)
            return format;
        const std::string fields = "evt/I,temp/d,adc/" + std::to_string(nadc) + "H";
        return split ? fields : "event {" + fields + "}";
    }
    int get_data_row_size() override { return given_row; }
    int interpret_data_format(const char* block, int size, char** rows) override
    {
        *rows = nullptr;
        const size_t bytes = static_cast<size_t>(given_row > 0 ? given_row : row_bytes()) *
                             static_cast<size_t>(rows_per_event);
        if (size < 0 || static_cast<size_t>(size) < head_bytes + bytes)
            return 0;
        *rows = new char[bytes];
        std::memcpy(*rows, block + head_bytes, bytes);
        return rows_per_event;
    }
    unsigned int* write_config(int& n) override
    {
        n = static_cast<int>(config.size());
        if (config.empty())
            return nullptr;
        unsigned int* words = new unsigned int[config.size()];
        std::copy(config.begin(), config.end(), words);
        return words;
    }
    int get_data_type() override { return 0x10; }

    const int nadc;
    bool split = false;
    bool format_override = false;
    std::string format;
    int rows_per_event = 1;
    int given_row = 0;
    std::vector<unsigned int> config;
};

#endif
