#pragma once

#include "ScopedReplyLimits.h"
#include "mail/CLineSocket.h"

// Shortens the time-outs of the sockets made while it lives, so that tests
// of silent servers stay fast; the previous values come back afterwards.
// Every SMTP reply limit becomes deadlineMs (the message text: sendMs).
class ScopedSocketTimeouts {
public:
    explicit ScopedSocketTimeouts(int receiveMs = 400, int deadlineMs = 1500, int connectMs = 3000,
                                  int sendMs = 2000);
    ~ScopedSocketTimeouts();
    ScopedSocketTimeouts(const ScopedSocketTimeouts&) = delete;
    ScopedSocketTimeouts& operator=(const ScopedSocketTimeouts&) = delete;

private:
    static CSMTP::ReplyLimits LimitsFor(int deadlineMs, int sendMs);

    CLineSocket::Timeouts m_previous;
    ScopedReplyLimits m_replyLimits;
};
