// The checksums now live with the reader, which checks trailers while scanning.
#pragma once

#include "reader/crc.h"
