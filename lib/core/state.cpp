#include "core/state.h"
