#pragma once

#include "Connection.h"

namespace svcreg {

// Gives back a connection's read turn, taken already, however the scope ends.
class HeldReadTurn {
public:
    explicit HeldReadTurn(Connection& connection) : connection(connection) {}
    ~HeldReadTurn() { connection.giveReadTurn(); }
    HeldReadTurn(const HeldReadTurn&) = delete;
    HeldReadTurn& operator=(const HeldReadTurn&) = delete;

private:
    Connection& connection;
};

}  // namespace svcreg
