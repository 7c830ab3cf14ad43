#include "timecode.h"
