// Run-state snapshots of the run managers and modules, which the status
// displays show once a second.
#ifndef BRISKO_GUI_UPDATE_H
#define BRISKO_GUI_UPDATE_H

#include <cstdint>
#include <string>
#include <vector>

// One snapshot of the run state of one run manager or module.
struct Update {
    std::string id;
    int64_t ntrig = 0;
    int64_t nwriten = 0;
    double eff = 0.0;
    double rate = 0.0;        // Hz
    double time = 0.0;        // s of run time
    double throughput = 0.0;  // the run state's throughput counter
};

// One snapshot per run manager (rml) and per module (mdl), in id order.
void get_update(std::vector<Update>& rml, std::vector<Update>& mdl);
// The same into two arrays that the caller frees with delete[] (allocated
// also when empty).
void Update_all(int& nRm, Update** rml, int& nMd, Update** mdl);
// The snapshot of one run manager or module; an empty one (no id, all 0)
// when there is none of that id.
void RunManager_update(const std::string& id, Update& u);
void Module_update(const std::string& id, Update& u);

#endif
