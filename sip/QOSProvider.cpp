#include "QOSProvider.h"
