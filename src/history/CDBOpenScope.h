#pragma once

#include <mutex>

#include "history/CInboxWardenDb.h"

// One unit of work on the database: opens it (creating it when needed) and
// holds the database lock until the scope ends, so that the worker thread and
// the interface thread never use the connection at the same time. Test isOpen
// before using the database.
class CDBOpenScope {
public:
    explicit CDBOpenScope(CInboxWardenDb& db = CInboxWardenDb::Instance());
    ~CDBOpenScope();
    CDBOpenScope(const CDBOpenScope&) = delete;
    CDBOpenScope& operator=(const CDBOpenScope&) = delete;

    CInboxWardenDb& Db() { return m_db; }
    sqlite3* Handle() { return m_db.Handle(); }

    bool isOpen = false;

private:
    CInboxWardenDb& m_db;
    std::unique_lock<std::recursive_mutex> m_guard;
};
