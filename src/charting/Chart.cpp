#include "charting/Chart.h"
