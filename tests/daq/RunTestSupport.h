// What the run tests share: a data logger that keeps a journal in memory
// instead of a file (installed as the configuration's data-logger factory),
// a sink that collects framework log lines, and a fixture with a loaded
// configuration that deletes every run manager and module afterwards.
#ifndef BRISKO_TESTS_DAQ_RUN_TEST_SUPPORT_H
#define BRISKO_TESTS_DAQ_RUN_TEST_SUPPORT_H

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogLines.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "config/GeneralConfig.h"
#include "config/IOConfig.h"
#include "config/PluginParser.h"
#include "daq/DAQcontroller.h"
#include "daq/DataLogger.h"
#include "daq/ScanRunManager.h"
#include "daq/TellumRunManager.h"
#include "ostrel/Log.h"
#include "ostrel/TellumData.h"

// What the journal loggers of a test did, in order.
struct JournalData {
    struct Event {
        std::string module;
        uint16_t record_type;
        uint16_t data_type;
        uint32_t counter;
        long object_id;
    };

    int created = 0;
    int deleted = 0;
    bool compress = false;
    int max_size = -1;
    std::vector<std::string> opened;
    int closed = 0;
    std::vector<Event> events;          // written under a stream descriptor
    std::vector<Event> plain;           // written as a whole block
    int pedestals = 0;
    std::vector<ScanPoint> scan_points;
    std::vector<std::string> streams;   // module id and format, at registration
};

struct LoggerJournal {
    std::mutex mutex;
    JournalData data;

    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        data = JournalData();
    }
    JournalData get()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return data;
    }
};

LoggerJournal& journal();

// Calls of the configuration's interrupt reset hook.
extern std::atomic<int> interrupt_resets;

class JournalLogger : public DataLogger {
public:
    JournalLogger(bool compress, int max_size) : DataLogger(nullptr, compress, 0)
    {
        set_extension("jnl");
        std::lock_guard<std::mutex> lock(journal().mutex);
        ++journal().data.created;
        journal().data.compress = compress;
        journal().data.max_size = max_size;
    }
    ~JournalLogger() override
    {
        close();
        std::lock_guard<std::mutex> lock(journal().mutex);
        ++journal().data.deleted;
    }

    void register_data_stream(int n, FileIODescriptor* d) override
    {
        DataLogger::register_data_stream(n, d);
        std::lock_guard<std::mutex> lock(journal().mutex);
        for (int i = 0; i < n; ++i) {
            journal().data.streams.push_back(d[i].get_module_id().str() + " " + d[i].get_format());
            d[i].set_object_id(1000 + i);
        }
    }
    void writePedestals() override
    {
        std::lock_guard<std::mutex> lock(journal().mutex);
        ++journal().data.pedestals;
    }
    void writeMaps() override {}
    void writeScanDefinition() override {}
    void writeScanPoint() override
    {
        ScanRunManager* scan = dynamic_cast<ScanRunManager*>(get_run_manager());
        std::lock_guard<std::mutex> lock(journal().mutex);
        if (scan)
            journal().data.scan_points.push_back(scan->get_current());
    }
    void writeConfig() override {}

protected:
    int do_open(const char* name) override
    {
        std::lock_guard<std::mutex> lock(journal().mutex);
        journal().data.opened.push_back(name);
        return 0;
    }
    int do_close() override
    {
        std::lock_guard<std::mutex> lock(journal().mutex);
        ++journal().data.closed;
        return 0;
    }
    long do_write(const char* buffer, unsigned long size) override
    {
        record(journal().data.plain, "", -1, buffer);
        return static_cast<long>(size);
    }
    long do_write(const FileIODescriptor& d, const char* buffer, unsigned long size) override
    {
        record(journal().data.events, d.get_module_id().str(), d.get_object_id(), buffer);
        return static_cast<long>(size);
    }

private:
    static void record(std::vector<JournalData::Event>& to, const std::string& module, long oid,
                       const char* buffer)
    {
        TellumData head(0, 0, 0, 0);
        std::memcpy(&head, buffer, sizeof head);
        std::lock_guard<std::mutex> lock(journal().mutex);
        to.push_back({module, head.record_type, head.data_type, head.event_counter, oid});
    }
};

// Runs the manager until it is no longer active; false when it did not end
// in time.
inline bool run(Ostrel::RunManager* rm, double seconds = 30.0)
{
    rm->Activate();
    return testutil::wait_until([rm] { return !rm->isActive(); }, seconds);
}

// Starts a run and waits until it runs.
inline bool start(Ostrel::RunManager* rm)
{
    rm->Activate();
    return testutil::wait_until(
        [rm] { return rm->get_status().get_status() == Ostrel::RunState::Running; }, 10.0);
}

// A loaded configuration whose data-logger factory makes journal loggers,
// the built-in run managers, and nothing left behind.
class RunFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        journal().clear();
        interrupt_resets = 0;
        cfg = ConfigParser::theConfig();
        cfg->reset();
        dir = testutil::make_temp_dir("runs");
        const std::string path = dir + "/runs.xml";
        testutil::write_file(path, "<Sorbek><plugins><data_logger><lib/><hook>journal_logger_factory"
                                   "</hook></data_logger><interrupt><lib/><reset>runs_interrupt_reset</reset>"
                                   "</interrupt></plugins><IO/><general/></Sorbek>\n");
        ASSERT_EQ(1, cfg->parse(path.c_str()));
        PluginParser::set_builtin_factory(&DAQcontroller::builtin_factory);
        general()->set_ped_period(0);
    }
    void TearDown() override { cfg->clean(); }

    GeneralConfig* general() { return dynamic_cast<GeneralConfig*>(cfg->get_handler("general")); }
    IOConfig* io() { return dynamic_cast<IOConfig*>(cfg->get_handler("IO")); }

    ConfigParser* cfg = nullptr;
    std::string dir;
};

// A text command sent from a thread of its own, as the remote-control
// server sends it; joined when it goes.
class CommandThread {
public:
    CommandThread(Ostrel::DAQObject* target, const std::string& text)
        : thread([this, target, text] {
              target->set_par<std::string>("command", text);
              done = true;
          })
    {
    }
    ~CommandThread() { thread.join(); }
    bool returned() const { return done.load(); }
    bool returns_within(double seconds)
    {
        return testutil::wait_until([this] { return done.load(); }, seconds);
    }

private:
    std::atomic<bool> done{false};
    std::thread thread;
};

#endif
