#pragma once

#include <chrono>

#include "testlib/ScriptedServer.h"

// Milliseconds since `start`, for the checks that a stalled server is given
// up on in time.
inline long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// A scripted POP3 login of bob/secret, ready for the next steps.
inline void ScriptLogin(ScriptedServer& server) {
    server.Send("+OK ready\r\n").Expect("USER bob\r\n").Send("+OK\r\n");
    server.Expect("PASS secret\r\n").Send("+OK logged in\r\n");
}
