#include "seal.h"
