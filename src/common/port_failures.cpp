#include "common/port_failures.h"

bool port_failed(PortFailures* failures, bool error_means_gone) {
  if (error_means_gone || ++failures->in_a_row >= kFailuresMeaningGone) {
    failures->in_a_row = 0;
    return true;
  }
  return false;
}
