// Globally unique identifiers, laid out as the platform lays them out. One definition for the
// whole layer: the component object model's.
#pragma once

#include "plat/com.h"
