#include "FakeSdkUploader.h"
