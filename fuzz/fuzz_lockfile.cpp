// The parse of "agent.lock" content: any bytes.
#include <cstddef>
#include <cstdint>

#include "agent/lock_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)CVLockFilePid(reinterpret_cast<const char*>(data), size);
  return 0;
}
