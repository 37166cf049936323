#include "vek_status.h"
