#pragma once

#include "mail/CSMTP.h"

// The SMTP reply limits of the sessions made while it lives; the previous
// ones come back afterwards.
class ScopedReplyLimits {
public:
    explicit ScopedReplyLimits(const CSMTP::ReplyLimits& limits);
    ~ScopedReplyLimits();
    ScopedReplyLimits(const ScopedReplyLimits&) = delete;
    ScopedReplyLimits& operator=(const ScopedReplyLimits&) = delete;

private:
    CSMTP::ReplyLimits m_previous;
};
