#include "common/cpu.h"

namespace palvara {

bool HasAvx512Vbmi() {
#ifdef PALVARA_HAVE_VBMI_PATH
  static const bool has = __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw");
  return has;
#else
  return false;
#endif
}

}  // namespace palvara
