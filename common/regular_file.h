// Opening an input file for reading: only regular files are taken. A FIFO, socket, device or
// folder is refused at once with a reason (opening never blocks, so a FIFO cannot hang a run).
#pragma once

#include <filesystem>

#include "common/status.h"

namespace palvara {

// Returns a read-only descriptor of the regular file at `path` (the caller closes it), or -1
// with `error` saying why ("Cannot open "x": No such file or directory", "... is a FIFO").
int OpenRegularFile(const std::filesystem::path& path, Status* error);

}  // namespace palvara
