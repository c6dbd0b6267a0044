#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "history/CInboxWardenDb.h"
#include "lists/CFilterList.h"

enum FilterListId : int {
    FL_Friends = 0,
    FL_Undesirables = 1,
    FL_GoodSubjects = 2,
    FL_BadSubjects = 3,
    FL_AutoSenders = 4,
    FL_Count = 5,
};

// One row of the list descriptor table.
struct FilterListInfo {
    const char* name;  // display name
    const char* table;
    int descriptionId;
    const char* description;
};

// The five filter lists, each loaded from its table on first use and kept in
// step with it. Every operation takes the lists' lock; a list id outside 0 to
// 4 finds nothing and changes nothing.
//
// Lock order: the lists' lock before the database lock.
class CFilterLists {
public:
    explicit CFilterLists(CInboxWardenDb& db = CInboxWardenDb::Instance());
    CFilterLists(const CFilterLists&) = delete;
    CFilterLists& operator=(const CFilterLists&) = delete;

    // The process's lists, made on first use.
    static CFilterLists& Instance();

    // The descriptor row of a list; nullptr for an id out of range.
    static const FilterListInfo* GetInfo(int id);
    // A whole-word (or, with wholeWord false, plain) occurrence test that
    // ignores the case of A to Z; only the first occurrence is examined. An
    // empty needle fits nothing.
    static bool MatchWords(const std::string& haystack, const std::string& needle, bool wholeWord);

    int GetCount(int id);
    int Find(int id, const std::string& text, bool matchMode);
    bool FindWord(int id, const std::string& text, std::string& matched, bool matchMode);
    // Adds the word unless an identical entry exists; an empty word is never
    // added. The entry is stored with flags 1.
    void AddWord(const std::string& word, int id);
    void DeleteWord(const std::string& word, int id);
    // Replaces the identical entry's text and sets bit 0 of its flags, in
    // memory and in the table. The new flags, or nothing when there is no
    // such entry or the new word is empty. When the new word is already an
    // entry, the old one is removed and the existing entry's flags answered.
    std::optional<int32_t> ReplaceWord(int id, const std::string& oldWord,
                                       const std::string& newWord);
    // A copy of one entry; nothing when the index is out of range.
    std::optional<CFilterList::Entry> GetEntry(int id, int index);
    std::vector<CFilterList::Entry> GetEntries(int id);
    // Forgets what was loaded: the next use reads each list from the database
    // again (after the data folder moved, or for a fresh test folder).
    void Reload();

private:
    CFilterList* ListLocked(int id);
    void Load(int id, CFilterList& list);
    void InsertRow(int id, const std::string& word, int32_t flags);
    void DeleteRow(int id, const std::string& word);

    CInboxWardenDb& m_db;
    std::mutex m_lock;
    CFilterList m_lists[FL_Count];
};
