// The acquisition framework in one include.
#ifndef OSTREL_OSTREL_H
#define OSTREL_OSTREL_H

#include "ostrel/DAQid.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/DAQObject.h"
#include "ostrel/DataQueue.h"
#include "ostrel/Exception.h"
#include "ostrel/FileIOManager.h"
#include "ostrel/Log.h"
#include "ostrel/Module.h"
#include "ostrel/ModuleData.h"
#include "ostrel/Observer.h"
#include "ostrel/Parameter.h"
#include "ostrel/RunManager.h"
#include "ostrel/RunState.h"
#include "ostrel/Thread.h"

#endif
