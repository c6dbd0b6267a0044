#include "ScopedSocketTimeouts.h"

ScopedSocketTimeouts::ScopedSocketTimeouts(int receiveMs, int deadlineMs, int connectMs, int sendMs)
    : m_previous(CLineSocket::GetDefaultTimeouts()), m_replyLimits(LimitsFor(deadlineMs, sendMs)) {
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

CSMTP::ReplyLimits ScopedSocketTimeouts::LimitsFor(int deadlineMs, int sendMs) {
    CSMTP::ReplyLimits limits;
    limits.greetingMs = limits.commandMs = limits.dataStartMs = limits.finalMs = deadlineMs;
    limits.dataBlockMs = sendMs;
    return limits;
}
