// Base of the handlers of module elements, the children of `modules`. The
// configuration registers such a handler under each numeric module
// identifier it serves.
#ifndef BRISKO_CONFIG_MODULEPARSER_H
#define BRISKO_CONFIG_MODULEPARSER_H

#include "config/SectionParser.h"

class ModuleParser : public SectionParser {
public:
    ModuleParser();
    ~ModuleParser() override;
};

#endif
