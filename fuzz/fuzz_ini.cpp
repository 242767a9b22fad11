// SPDX-License-Identifier: GPL-2.0-or-later
// A configuration file: the input is the file's content, read by the INI parser
// from a memory file with the daemon's callback storing into a settings record.
// Its checks are the sanitizers' alone.
#include <ini.h>

#include "app/settings.h"
#include "fuzz/fuzz_support.h"

namespace fuzzing {

int iniFile(const uint8_t* data, size_t size) {
  quietLogging(true);
  static MemoryFile* file = new MemoryFile();
  if (!file->set(data, size)) return 0;
  Settings_t settings{};
  resetSettings(&settings);
  ini_parse(file->path().c_str(), handler, &settings);
  freeSettings(&settings);
  return 0;
}

}  // namespace fuzzing
