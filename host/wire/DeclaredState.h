#pragma once

#include <cstdint>
#include <string_view>

namespace svcreg {

// Where a declared service stands, as the daemon reports it and its shared table marks each of
// the service's interfaces: Idle, nobody serves it and nothing is starting it; Starting, the
// daemon started it and waits for it to register; Running, it registered and its process is
// there; Failed, its last start failed (the reason is in the daemon's report) and the next one
// waits for the back-off to pass.
enum class DeclaredState : std::uint8_t { Idle, Starting, Running, Failed };

// "idle", "starting", "running" or "failed".
constexpr std::string_view declaredStateName(DeclaredState state) {
    switch (state) {
        case DeclaredState::Idle:
            return "idle";
        case DeclaredState::Starting:
            return "starting";
        case DeclaredState::Running:
            return "running";
        case DeclaredState::Failed:
            return "failed";
    }
    return "idle";
}

}  // namespace svcreg
