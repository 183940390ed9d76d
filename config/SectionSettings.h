// The configuration's side of what the acquisition and the analysis read of
// it: the run settings and the pedestal settings, taken from the sections
// registered in the process-wide configuration whenever they are asked for.
#ifndef BRISKO_CONFIG_SECTIONSETTINGS_H
#define BRISKO_CONFIG_SECTIONSETTINGS_H

namespace SectionSettings {

// Hands both in; the configuration does it as it registers its sections.
// A section that is not registered gives its values before anything is
// read.
void hand_in();

} // namespace SectionSettings

#endif
