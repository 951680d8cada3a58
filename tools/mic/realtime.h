#pragma once

#include <string>

// Asks for real-time scheduling (round robin, below the sound server's own
// threads) so that the answers to the server's requests are not late when the
// machine is busy. Allowed for root and for users granted RLIMIT_RTPRIO; a CPU
// time limit stops a runaway loop from locking up the machine. Returns a
// description of the outcome for the log.
std::string raiseToRealtime();
