// What the settings store needs of the platform's files, beyond the C library: the line end a new
// text file gets, and the flush of a written file to the disk. Like platform.h, every adapter
// implements these.
#pragma once

#include <cstdio>
#include <string_view>

namespace plat {

// The line end of a new text file: "\r\n" on Windows, "\n" elsewhere.
std::string_view NewFileEol();

// Pushes what was written to `file` down to the disk, so that a rename after it cannot land before
// the data. False only on a real failure: a file system that cannot do it is no failure.
bool SyncFile(std::FILE* file);

}  // namespace plat
