#include "terminal_decoder.h"
