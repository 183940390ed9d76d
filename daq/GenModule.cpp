#include "daq/GenModule.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>

#include <zlib.h>

#include "data/Analysis.h"
#include "ostrel/Exception.h"
#include "ostrel/Log.h"

namespace {

// Every live module by the text of its identifier. Never destroyed: modules
// left at exit may still leave it from static destructors.
struct ModuleMap {
    std::mutex mutex;
    std::map<std::string, GenModule*> modules;
};

ModuleMap& module_map()
{
    static ModuleMap* map = new ModuleMap;
    return *map;
}

// The formats that open run files hold, by module identifier: a leaf lock,
// taken under a module's data_format_lock and nothing else.
struct FormatHold {
    const void* holder;
    std::string format;
    std::string file;
};

struct FormatHolds {
    std::mutex mutex;
    std::multimap<std::string, FormatHold> holds;
};

FormatHolds& format_holds()
{
    static FormatHolds* holds = new FormatHolds;
    return *holds;
}

std::vector<double> value_of(Ostrel::Par<std::vector<double>>* par)
{
    std::lock_guard<std::recursive_mutex> lock(par->mutex());
    return par->get_value();
}

} // namespace

GenModule::GenModule(const Ostrel::DAQid& id, unsigned long address)
    : Ostrel::Module(id), ana(nullptr), _add(address), ievt(0), pedestal(nullptr), noise(nullptr),
      observer(nullptr), run_type(RunType::None)
{
    pedestal = new Ostrel::Par<std::vector<double>>();
    add_par("pedestal", pedestal);
    noise = new Ostrel::Par<std::vector<double>>();
    add_par("noise", noise);
    {
        ModuleMap& map = module_map();
        std::lock_guard<std::mutex> lock(map.mutex);
        map.modules[id.str()] = this;
    }
    auto* command = new Ostrel::Par<std::string>();
    add_par("command", command);
    observer = new Ostrel::ParameterObserver<std::string, GenModule>(this, &GenModule::set_command,
                                                                      command);
}

GenModule::~GenModule()
{
    {
        ModuleMap& map = module_map();
        std::lock_guard<std::mutex> lock(map.mutex);
        // A later module of the same identifier took the entry over.
        auto it = map.modules.find(get_id().str());
        if (it != map.modules.end() && it->second == this)
            map.modules.erase(it);
    }
    delete observer;
}

GenModule* GenModule::find_module(const Ostrel::DAQid& id)
{
    ModuleMap& map = module_map();
    std::lock_guard<std::mutex> lock(map.mutex);
    auto it = map.modules.find(id.str());
    return it == map.modules.end() ? nullptr : it->second;
}

std::string GenModule::hold_data_format(const void* holder, const std::string& file)
{
    std::lock_guard<std::recursive_mutex> lock(data_format_lock());
    const std::string format = get_data_format();
    FormatHolds& all = format_holds();
    std::lock_guard<std::mutex> holds_lock(all.mutex);
    const auto range = all.holds.equal_range(get_id().str());
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.holder == holder) {
            it->second = FormatHold{holder, format, file};
            return format;
        }
    }
    all.holds.emplace(get_id().str(), FormatHold{holder, format, file});
    return format;
}

void GenModule::release_data_formats(const void* holder)
{
    FormatHolds& all = format_holds();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (auto it = all.holds.begin(); it != all.holds.end();) {
        if (it->second.holder == holder)
            it = all.holds.erase(it);
        else
            ++it;
    }
}

void GenModule::name_held_file(const void* holder, const std::string& file)
{
    FormatHolds& all = format_holds();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (auto& entry : all.holds) {
        if (entry.second.holder == holder)
            entry.second.file = file;
    }
}

std::string GenModule::format_refusal(const std::string& format, const std::string& setting) const
{
    FormatHolds& all = format_holds();
    std::lock_guard<std::mutex> lock(all.mutex);
    const auto range = all.holds.equal_range(get_id().str());
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.format != format)
            return "the run file " + it->second.file + " is open with the present layout of the rows; " + setting +
                   " can change once it is closed";
    }
    return std::string();
}

void GenModule::refuse_format_change(const std::string& format, const std::string& setting)
{
    const std::string why = format_refusal(format, setting);
    if (!why.empty())
        refuse(why);
}

void GenModule::refuse(const std::string& reason) const
{
    {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Module " << get_id() << ": " << reason << std::endl;
    }
    throw Ostrel::ParameterRefused(reason);
}

void GenModule::set_analysis(Analysis* analysis)
{
    if (analysis == ana)
        return;
    delete ana;
    ana = analysis;
}

Analysis* GenModule::release_analysis()
{
    Analysis* held = ana;
    ana = nullptr;
    return held;
}

void GenModule::increase_evt_counter()
{
    ievt = (ievt.load() + 1) & 0xFFFFFF;
}

void GenModule::set_command(const std::string& text)
{
    parse_command(text);
}

void GenModule::update_pedestals()
{
    if (!ana)
        return;
    std::vector<double> ped;
    std::vector<double> sigma;
    ana->get_pedestals(ped, sigma);
    pedestal->set_value(ped, false);
    noise->set_value(sigma, false);
}

void GenModule::copy_pedestals()
{
    if (!ana)
        return;
    const std::vector<double> ped = value_of(pedestal);
    const std::vector<double> sigma = value_of(noise);
    // Channels beyond the shorter list have no value: they stay as they are
    // and count as not set.
    const int given = ana->set_pedestals(ped, sigma);
    int set = 0;
    for (int i = 0; i < given; ++i)
        if (ped[i] != 0.0 && sigma[i] != 0.0)
            ++set;
    if (set == ana->Ntot())
        ana->trust_pedestals();
}

std::vector<double> GenModule::copy_list(const std::string& name) const
{
    auto* par = dynamic_cast<Ostrel::Par<std::vector<double>>*>(get_par(name));
    if (!par)
        throw Ostrel::ParameterTypeDoesNotMatch(name);
    return value_of(par);
}

int GenModule::get_monitor_data(int& size, char** data)
{
    size = 0;
    if (data)
        *data = nullptr;
    if (!ana || !data)
        return 0;
    std::ostringstream os;
    os << *ana;
    const std::string text = os.str();

    // Twice the text is plenty for these histograms; never less than zlib
    // may need for incompressible input.
    uLongf length = std::max<uLong>(2 * text.size(), compressBound(text.size()));
    char* buffer = new char[length];
    const int rc = compress2(reinterpret_cast<Bytef*>(buffer), &length,
                             reinterpret_cast<const Bytef*>(text.data()), text.size(), 9);
    if (rc != Z_OK) {
        delete[] buffer;
        Ostrel::ostream log;
        log << Ostrel::loglevel(Ostrel::LOG_ERROR) << "Error compressing monitor data: rc=" << rc
            << std::endl;
        return 0;
    }
    size = static_cast<int>(length);
    *data = buffer;
    return 1;
}

void GenModule::reset_monitor_data()
{
    if (!ana)
        return;
    ana->Init();
    copy_pedestals();
}

// The analysis's shape changes under its fill lock (a module's chip count
// may change while a run file opens and reads it).
int GenModule::get_n_chips()
{
    if (!ana)
        return 0;
    std::lock_guard<Ostrel::Mutex> lock(ana->get_lock());
    return ana->Nchip();
}

int GenModule::get_n_chan()
{
    if (!ana)
        return 0;
    std::lock_guard<Ostrel::Mutex> lock(ana->get_lock());
    return ana->Nchan();
}

void GenModule::EndOfEvent() {}

void GenModule::set_scan_point(ScanPoint&) {}

void GenModule::set_header_description(unsigned int& word)
{
    word = (static_cast<unsigned int>(get_n_chips()) & 0xFF) << 20 |
           static_cast<unsigned int>(get_data_type()) |
           (static_cast<unsigned int>(get_id().to_int()) & 0xFFFF);
}

unsigned int* GenModule::write_pedestals(int& nwords)
{
    const int nchips = get_n_chips();
    const int nchan = get_n_chan();
    const int n = nchips * nchan;
    nwords = n + 4;
    unsigned int* words = new unsigned int[nwords]();
    words[0] = 0xCAFE4000u | static_cast<unsigned int>(n + 4);
    words[1] = static_cast<unsigned int>(get_id().to_int());
    words[2] = static_cast<unsigned int>(nchips) << 16 | (static_cast<unsigned int>(nchan) & 0xFFFF);
    words[n + 3] = static_cast<unsigned int>(n + 4);
    return words;
}

unsigned int* GenModule::write_config(int& nwords)
{
    nwords = 0;
    return nullptr;
}

void GenModule::parse_command(const std::string&) {}
