#include "lists/CFilterLists.h"

#include "history/CDBOpenScope.h"
#include "history/CDBStatement.h"
#include "support/CLogFile.h"
#include "support/StringUtils.h"

namespace {

constexpr FilterListInfo kLists[] = {
    {"Friends", "Friends", 32801,
     "These are the people whose mail you want to receive. Entries here are added:\n-manually\n-by "
     "InboxWarden when a sender replies to a challenge email\n-by importing your contact list from "
     "your supported email software\n-by importing addresses from your own text file.\nThis list "
     "is compared for partial matches, meaning if the sender address contains one of these "
     "entries it is considered a match."},
    {"Undesirables", "Undesirables", 32802,
     "These are the people whose mail you do NOT want to see, and they will never receive a "
     "challenge email.\nWARNING: Please use this list carefuly. This and the \"Bad Subjects\" list "
     "have priority over all your other lists.\nThis list is compared for full word matches, "
     "meaning \"pill\" will not match \"pillow.com\". If one of these entries matches a full word "
     "in the sender's address, it is considered a match"},
    {"Good Subjects", "GoodSubjects", 32803,
     "All the emails that contain one of these entries in the subject will be left on the your "
     "server.\nAn example would be \"order\", effectively accepting all the mails with the word "
     "\"order\" in the subject.\nThis list is compared for partial matches, meaning if the email "
     "subject contains one of these entries it is  considered a match."},
    {"Bad Subjects", "BadSubjects", 32804,
     "All emails with a subject containing one of these entries will immediately be deleted and "
     "their senders will never receive a challenge email.\nWARNING: Please use this list "
     "carefuly. \nNOTE: This and the \"Bad Senders\" list have priority over all your other "
     "lists.\nThis list is compared for full word matches, meaning \"pill\" will not match "
     "\"pillow.com\"."},
    {"Auto Senders", "AutoSenders", 32805,
     "These are automatic senders you don't want InboxWarden to send emails to, mainly because "
     "they also auto-reply, clogging your mailbox.\nAn example would be \"postmaster\". These "
     "emails will be saved. This list is compared for partial matches, meaning if the email "
     "sender contains one of these entries it is considered a match."},
    {nullptr, nullptr, 0, nullptr},
};

// Stored words are at most this long; longer ones in a foreign file are cut.
constexpr size_t kWordLimit = 100;

// Table names come from the descriptor table, never from an entry.
std::string Sql(const char* before, const char* table, const char* after = "") {
    return std::string(before) + table + after;
}

}  // namespace

CFilterLists::CFilterLists(CInboxWardenDb& db) : m_db(db) {}

CFilterLists& CFilterLists::Instance() {
    static CFilterLists lists;
    return lists;
}

const FilterListInfo* CFilterLists::GetInfo(int id) {
    if (id < 0 || id >= FL_Count) {
        return nullptr;
    }
    return &kLists[id];
}

bool CFilterLists::MatchWords(const std::string& haystack, const std::string& needle,
                              bool wholeWord) {
    std::string lowerHaystack = haystack;
    std::string lowerNeedle = needle;
    ToLower(lowerHaystack);
    ToLower(lowerNeedle);
    return CFilterList::MatchLowered(lowerHaystack, lowerNeedle, wholeWord);
}

CFilterList* CFilterLists::ListLocked(int id) {
    if (id < 0 || id >= FL_Count) {
        return nullptr;
    }
    CFilterList& list = m_lists[id];
    if (!list.loaded) {
        Load(id, list);
    }
    return &list;
}

void CFilterLists::Load(int id, CFilterList& list) {
    // Marked first: a list that fails to load is not tried again this run.
    list.loaded = true;
    const char* table = kLists[id].table;
    CDBOpenScope scope(m_db);
    if (!scope.isOpen) {
        return;
    }
    CLogFile* log = CInboxWardenDb::MainLog();
    CDBStatement rows(
        scope.Handle(),
        Sql("SELECT words, flags FROM ", table, " ORDER BY words COLLATE BINARY").c_str());
    if (log) {
        IW_LOG_AT(*log, "Starting loop...");
    }
    int rc = rows.Step();
    while (rc == SQLITE_ROW) {
        std::string word = rows.ColumnText(0, kWordLimit);
        // An empty entry would fit every text.
        if (!word.empty()) {
            list.Append(word, rows.ColumnInt(1));
        }
        rc = rows.Step();
    }
    if (rc != SQLITE_DONE) {
        m_db.NoteFailure(rows.ErrorCode());
        if (log) {
            log->Write("Error loading filter words from table %s: %s", table, rows.Error().c_str());
        }
    }
}

void CFilterLists::InsertRow(int id, const std::string& word, int32_t flags) {
    const char* table = kLists[id].table;
    CDBOpenScope scope(m_db);
    if (!scope.isOpen) {
        return;
    }
    CDBStatement insert(
        scope.Handle(),
        Sql("INSERT INTO ", table, " (words, flags) VALUES (:words, :flags)").c_str());
    CInboxWardenDb::SetTextField(insert, table, "words", word);
    insert.BindInt(insert.ParamIndex(":flags"), flags);
    if (insert.Step() != SQLITE_DONE) {
        m_db.NoteFailure(insert.ErrorCode());
        if (CLogFile* log = CInboxWardenDb::MainLog()) {
            log->Write("Error creating new record for filter words [%s] in table %s", word.c_str(),
                       table);
            log->Write("%s", insert.Error().c_str());
        }
    }
}

void CFilterLists::DeleteRow(int id, const std::string& word) {
    const char* table = kLists[id].table;
    CDBOpenScope scope(m_db);
    if (!scope.isOpen) {
        return;
    }
    // The word is matched as it was stored: cut like SetTextField cuts it.
    std::string sql = Sql("DELETE FROM ", table, " WHERE id = (SELECT id FROM ");
    sql += Sql("", table, " WHERE words = :words ORDER BY id LIMIT 1)");
    CDBStatement remove(scope.Handle(), sql.c_str());
    CInboxWardenDb::SetTextField(remove, table, "words", word);
    if (remove.Step() != SQLITE_DONE) {
        m_db.NoteFailure(remove.ErrorCode());
        if (CLogFile* log = CInboxWardenDb::MainLog()) {
            log->Write("Error deleting new record for filter words [%s] in table %s", word.c_str(),
                       table);
            log->Write("%s", remove.Error().c_str());
        }
    }
}

int CFilterLists::GetCount(int id) {
    std::lock_guard<std::mutex> guard(m_lock);
    CFilterList* list = ListLocked(id);
    return list ? list->GetCount() : 0;
}

int CFilterLists::Find(int id, const std::string& text, bool matchMode) {
    std::lock_guard<std::mutex> guard(m_lock);
    CFilterList* list = ListLocked(id);
    return list ? list->Find(text, matchMode) : -1;
}

bool CFilterLists::FindWord(int id, const std::string& text, std::string& matched, bool matchMode) {
    std::lock_guard<std::mutex> guard(m_lock);
    CFilterList* list = ListLocked(id);
    if (!list) {
        return false;
    }
    int index = list->Find(text, matchMode);
    if (index < 0) {
        return false;
    }
    matched = list->GetAt(index).words;
    return true;
}

void CFilterLists::AddWord(const std::string& word, int id) {
    std::lock_guard<std::mutex> guard(m_lock);
    CFilterList* list = ListLocked(id);
    if (!list || word.empty()) {
        return;
    }
    if (list->InsertSorted(word, 1) < 0) {
        return;
    }
    InsertRow(id, word, 1);
}

void CFilterLists::DeleteWord(const std::string& word, int id) {
    std::lock_guard<std::mutex> guard(m_lock);
    CFilterList* list = ListLocked(id);
    if (!list) {
        return;
    }
    int index = list->IndexOf(word);
    if (index < 0) {
        return;
    }
    list->RemoveAt(index);
    DeleteRow(id, word);
}

std::optional<int32_t> CFilterLists::ReplaceWord(int id, const std::string& oldWord,
                                                 const std::string& newWord) {
    std::lock_guard<std::mutex> guard(m_lock);
    CFilterList* list = ListLocked(id);
    if (!list || newWord.empty()) {
        return std::nullopt;
    }
    int index = list->IndexOf(oldWord);
    if (index < 0) {
        return std::nullopt;
    }
    int32_t flags = list->GetAt(index).flags | 1;
    list->RemoveAt(index);
    int existing = list->IndexOf(newWord);
    if (existing >= 0) {
        DeleteRow(id, oldWord);
        return list->GetAt(existing).flags;
    }
    // Back in byte order, so that AddWord's walk stays right.
    list->InsertSorted(newWord, flags);
    DeleteRow(id, oldWord);
    InsertRow(id, newWord, flags);
    return flags;
}

std::optional<CFilterList::Entry> CFilterLists::GetEntry(int id, int index) {
    std::lock_guard<std::mutex> guard(m_lock);
    CFilterList* list = ListLocked(id);
    if (!list || index < 0 || index >= list->GetCount()) {
        return std::nullopt;
    }
    return list->GetAt(index);
}

std::vector<CFilterList::Entry> CFilterLists::GetEntries(int id) {
    std::lock_guard<std::mutex> guard(m_lock);
    CFilterList* list = ListLocked(id);
    return list ? list->GetEntries() : std::vector<CFilterList::Entry>();
}

void CFilterLists::Reload() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& list : m_lists) {
        list.Clear();
        list.loaded = false;
    }
}
