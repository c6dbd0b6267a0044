#include "ScopedReplyLimits.h"

ScopedReplyLimits::ScopedReplyLimits(const CSMTP::ReplyLimits& limits)
    : m_previous(CSMTP::GetDefaultReplyLimits()) {
    CSMTP::SetDefaultReplyLimits(limits);
}

ScopedReplyLimits::~ScopedReplyLimits() {
    CSMTP::SetDefaultReplyLimits(m_previous);
}
