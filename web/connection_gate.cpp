#include "connection_gate.h"

#include <cassert>
#include <utility>

bool ConnectionGate::admit(uint32_t address) {
    int& held = perAddress_[address];
    if (held >= kPerAddress || total_ >= kTotal) {
        if (held == 0) perAddress_.erase(address);
        ++refused_;
        return false;
    }
    ++held;
    ++total_;
    return true;
}

void ConnectionGate::release(uint32_t address) {
    const auto it = perAddress_.find(address);
    assert(it != perAddress_.end() && total_ > 0);
    if (it == perAddress_.end()) return;
    if (--it->second == 0) perAddress_.erase(it);
    --total_;
    ++released_;
}

int ConnectionGate::takeRefused() {
    return std::exchange(refused_, 0);
}
