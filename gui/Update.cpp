#include "gui/Update.h"

#include <algorithm>

#include "ostrel/DAQmanager.h"
#include "ostrel/DAQObject.h"
#include "ostrel/Module.h"
#include "ostrel/RunManager.h"

namespace {

Update snapshot(Ostrel::DAQObject* object)
{
    Ostrel::RunState& state = object->get_status();
    Update u;
    u.id = object->get_id().str();
    u.ntrig = static_cast<int64_t>(state.n_trigger());
    u.nwriten = static_cast<int64_t>(state.n_written());
    u.eff = state.eff();
    u.rate = state.rate(false);
    u.time = state.time();
    u.throughput = state.get_throughput();
    return u;
}

template <class Map>
void snapshots(const Map& map, std::vector<Update>& out)
{
    for (const auto& entry : map)
        out.push_back(snapshot(entry.second));
}

Update* to_array(const std::vector<Update>& list)
{
    auto* array = new Update[list.size()];
    std::copy(list.begin(), list.end(), array);
    return array;
}

void fill(Ostrel::DAQObject* object, Update& u)
{
    u = object ? snapshot(object) : Update();
}

} // namespace

void get_update(std::vector<Update>& rml, std::vector<Update>& mdl)
{
    rml.clear();
    mdl.clear();
    Ostrel::DAQmanager* manager = Ostrel::DAQmanager::theDAQmanager();
    snapshots(manager->RunMmap(), rml);
    snapshots(manager->ModuleMap(), mdl);
}

void Update_all(int& nRm, Update** rml, int& nMd, Update** mdl)
{
    std::vector<Update> rm, md;
    get_update(rm, md);
    nRm = static_cast<int>(rm.size());
    nMd = static_cast<int>(md.size());
    *rml = to_array(rm);
    *mdl = to_array(md);
}

void RunManager_update(const std::string& id, Update& u)
{
    fill(Ostrel::DAQmanager::theDAQmanager()->find_runmanager(id), u);
}

void Module_update(const std::string& id, Update& u)
{
    fill(Ostrel::DAQmanager::theDAQmanager()->find_module(id), u);
}
