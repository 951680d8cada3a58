#include "mode_rule.h"

int jitterTargetForMode(int mode) {
    return 2 << mode;
}
