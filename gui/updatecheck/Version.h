// This program's version and release: the About box shows them, the update
// check compares newer releases with them.
#ifndef BRISKO_GUI_UPDATECHECK_VERSION_H
#define BRISKO_GUI_UPDATECHECK_VERSION_H

namespace tellum_version {
constexpr int major = 1;
constexpr int minor = 1;
constexpr int micro = 6;
constexpr int release = 1;
} // namespace tellum_version

#endif
