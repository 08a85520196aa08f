#include "key_codes.h"
