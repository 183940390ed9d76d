// A plug-in for the monitor window benchmark, loaded by the program like any
// other: while the file that BENCH_MONITOR_MARKER names exists, every module
// of ours has a monitor window open (the stock one, as the module panels
// open it), and none while it does not. It says so on standard output each
// time the number of open windows changes.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include <glib.h>

#include "common/StockMonitorWindow.h"
#include "config/SectionParser.h"
#include "daq/DAQcontroller.h"

namespace {

class MonitorHost : public SectionParser {
public:
    MonitorHost() { timer = g_timeout_add(250, &MonitorHost::tick, this); }
    ~MonitorHost() override
    {
        g_source_remove(timer);
        windows.clear();
    }

private:
    static gboolean tick(gpointer data)
    {
        static_cast<MonitorHost*>(data)->follow();
        return TRUE;
    }

    void follow()
    {
        const char* marker = g_getenv("BENCH_MONITOR_MARKER");
        const bool wanted = marker && g_file_test(marker, G_FILE_TEST_EXISTS);
        if (!wanted)
            windows.clear();
        else
            for (const std::string& id : DAQcontroller::instance()->module_ids())
                if (!windows.count(id))
                    windows[id].reset(new StockMonitorWindow(id, nullptr));
        if (windows.size() != told) {
            told = windows.size();
            std::printf("monitor windows open: %zu\n", told);
            std::fflush(stdout);
        }
    }

    guint timer = 0;
    std::map<std::string, std::unique_ptr<StockMonitorWindow>> windows;
    size_t told = 0;
};

} // namespace

extern "C" SectionParser* monitor_host()
{
    return new MonitorHost;
}
