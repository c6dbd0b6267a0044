#include "ScopedSocketTimeouts.h"

ScopedSocketTimeouts::ScopedSocketTimeouts(int receiveMs, int deadlineMs, int connectMs, int sendMs)
    : m_previous(CLineSocket::GetDefaultTimeouts()) {
    CLineSocket::Timeouts timeouts;
    timeouts.receiveMs = receiveMs;
    timeouts.deadlineMs = deadlineMs;
    timeouts.connectMs = connectMs;
    timeouts.sendMs = sendMs;
    CLineSocket::SetDefaultTimeouts(timeouts);
}

ScopedSocketTimeouts::~ScopedSocketTimeouts() {
    CLineSocket::SetDefaultTimeouts(m_previous);
}
