#include "ScopedSocketTimeouts.h"

ScopedSocketTimeouts::ScopedSocketTimeouts(int receiveMs, int deadlineMs, int connectMs, int sendMs)
    : m_previous(CLineSocket::GetDefaultTimeouts()),
      m_previousLimits(CSMTP::GetDefaultReplyLimits()) {
    CLineSocket::Timeouts timeouts;
    timeouts.receiveMs = receiveMs;
    timeouts.deadlineMs = deadlineMs;
    timeouts.connectMs = connectMs;
    timeouts.sendMs = sendMs;
    CLineSocket::SetDefaultTimeouts(timeouts);
    CSMTP::ReplyLimits limits;
    limits.greetingMs = limits.commandMs = limits.dataStartMs = limits.finalMs = deadlineMs;
    limits.dataBlockMs = sendMs;
    CSMTP::SetDefaultReplyLimits(limits);
}

ScopedSocketTimeouts::~ScopedSocketTimeouts() {
    CLineSocket::SetDefaultTimeouts(m_previous);
    CSMTP::SetDefaultReplyLimits(m_previousLimits);
}
