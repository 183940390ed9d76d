#include "config/ModuleParser.h"

ModuleParser::ModuleParser() = default;

ModuleParser::~ModuleParser() = default;
