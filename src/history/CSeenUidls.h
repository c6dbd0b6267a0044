#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/CInboxWardenDb.h"

// The unique ids (POP3 UIDL) that each account's server has shown, with the
// history record each belongs to and the message size it had then. A scan
// skips fetching a message whose id it finds here with the same size. The
// table lives in InboxWarden.mdb beside EmailData and is created on first use,
// so a database made before it existed takes it on without a step of its own.
// Every value is bound as a parameter; each call is one unit of work.
class CSeenUidls {
public:
    struct Entry {
        std::string uid;
        int32_t recordId = 0;
        uint32_t size = 0;
    };

    explicit CSeenUidls(CInboxWardenDb& db = CInboxWardenDb::Instance());

    // Every entry of the account. False when the database cannot be opened
    // or read; entries is then empty, so nothing counts as seen.
    bool Load(const std::string& account, std::vector<Entry>& entries);
    // In one transaction: removes the account's entries of every id in
    // dropped, then adds added. False, with nothing changed, on failure.
    bool Update(const std::string& account, const std::vector<std::string>& dropped,
                const std::vector<Entry>& added);
    // Removes the entries whose record is no longer in EmailData; the number
    // removed, or -1 on failure.
    int RemoveOrphans();

private:
    bool EnsureTable();

    CInboxWardenDb& m_db;
};
