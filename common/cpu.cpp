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

bool HasCarrylessMultiply() {
#ifdef PALVARA_HAVE_CLMUL_PATH
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
#else
  return false;
#endif
}

}  // namespace palvara
