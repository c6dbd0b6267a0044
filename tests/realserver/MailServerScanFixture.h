#pragma once

#include <memory>

#include "engine/CInboxWardenEngine.h"
#include "engine/EngineFixture.h"
#include "testlib/MailServers.h"
#include "testlib/ScopedSocketTimeouts.h"

// An engine's scans against the loopback servers, on the mailboxes of "me"
// and "stranger". The real servers answer slower than scripted ones, hence
// the longer time-outs; the mailboxes are emptied afterwards, because the
// next test shares them.
class MailServerScanFixture : public EngineFixture {
protected:
    void TearDown() override {
        m_engine.reset();
        if (MailServers::Get().Available()) {
            for (const char* user : {"me", "stranger"}) {
                MailServers::Get().Clear(user);
            }
        }
    }

    ScopedSocketTimeouts m_timeouts{5000, 10000, 5000, 5000};
    std::unique_ptr<CInboxWardenEngine> m_engine;
};
