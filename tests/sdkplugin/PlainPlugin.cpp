#include "PlainPlugin.h"
