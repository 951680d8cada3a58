#pragma once

// Jitter target for a mode digit (ControlLine::modeOf): 0 -> 2, 1 -> 4, 2 -> 8 packets.
int jitterTargetForMode(int mode);
