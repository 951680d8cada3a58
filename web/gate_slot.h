#pragma once

#include <QObject>

#include <cstdint>
#include <memory>

#include "connection_gate.h"

// One admitted connection's place in the gate, given back when this object
// goes. Made a child of whatever holds the connection's socket, so the slot
// follows the socket from owner to owner and is released exactly once, with it.
class GateSlot : public QObject {
public:
    GateSlot(std::shared_ptr<ConnectionGate> gate, uint32_t address)
        : gate_(std::move(gate)), address_(address) {}
    ~GateSlot() override { gate_->release(address_); }
    GateSlot(const GateSlot&) = delete;
    GateSlot& operator=(const GateSlot&) = delete;

private:
    std::shared_ptr<ConnectionGate> gate_;  // shared: a socket may outlive the server's members
    uint32_t address_;
};
