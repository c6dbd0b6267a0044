#include "history/CDBOpenScope.h"

CDBOpenScope::CDBOpenScope(CInboxWardenDb& db) : m_db(db), m_guard(db.Lock()) {
    isOpen = m_db.EnterScope();
}

CDBOpenScope::~CDBOpenScope() {
    m_db.LeaveScope();
}
