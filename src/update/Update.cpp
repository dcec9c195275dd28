#include "Update.h"
