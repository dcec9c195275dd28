#include "Actions.h"
