// The native binary run file: 32-bit records in host byte order.
#ifndef BRISKO_DAQ_TELLUMLOGGER_H
#define BRISKO_DAQ_TELLUMLOGGER_H

#include <cstdint>
#include <vector>

#include "daq/DataLogger.h"

class TellumLogger : public DataLogger {
public:
    TellumLogger(TellumRunManager* rm, bool compress, unsigned long max_size);
    ~TellumLogger() override;

    void writePedestals() override;
    void writeMaps() override;
    void writeScanDefinition() override;
    void writeScanPoint() override;
    void writeConfig() override;

    // The file manager's header and tail functions.
    static int writeHeader(const char** block, TellumLogger* logger);
    static int writeTail(const char** block, TellumLogger* logger);

private:
    void put(const std::vector<uint32_t>& words);
    uint32_t run_number() const;
};

#endif
