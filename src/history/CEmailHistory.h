#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "history/CEmailData.h"
#include "history/CInboxWardenDb.h"

// Every known record, in memory for the whole run, mirrored into the
// EmailData table at save points. The worker thread adds, saves and removes
// records while the interface thread reads them: every member takes the
// store's lock, and Lock() lets a caller hold it across several calls (for a
// GetCount/GetAt walk, or to change a record in place).
//
// Lock order: the store's lock before the database lock; never call into the
// store while holding the database lock.
class CEmailHistory {
public:
    // A copy of one record as it was when the snapshot was taken; key names
    // the live record for Modify and IndexOf and must not be dereferenced.
    struct SnapshotEntry {
        const CEmailData* key;
        CEmailData record;
    };

    explicit CEmailHistory(CInboxWardenDb& db = CInboxWardenDb::Instance());
    ~CEmailHistory();
    CEmailHistory(const CEmailHistory&) = delete;
    CEmailHistory& operator=(const CEmailHistory&) = delete;

    // Appends every row of EmailData; the number loaded, or -1 when the
    // database cannot be opened or reading its rows fails (the rows read
    // until then stay loaded).
    int LoadAll();
    // Takes ownership; the record is appended.
    void Add(CEmailData* record);
    int GetCount() const;
    // nullptr when the index is out of range. The record stays valid only
    // while no other thread can remove it (hold Lock(), or be the thread that
    // runs CleanupHistory).
    CEmailData* GetAt(int index) const;

    // Writes every dirty record in one transaction. When one of them fails,
    // the transaction is rolled back and all of them stay dirty.
    void SaveAll();
    // Writes one record; requires an open CDBOpenScope. Answers 1.
    int SaveRecord(CEmailData& record);
    // 1 when the delete was attempted; -1 when the index is out of range, the
    // record was never stored or the database cannot be opened.
    int DeleteFromDatabase(int index);
    // Removes every record whose received day is before the cutoff day
    // (days since 1 January 1970), from memory and from the database.
    void CleanupHistory(int cutoffDay);

    std::unique_lock<std::recursive_mutex> Lock() const {
        return std::unique_lock<std::recursive_mutex>(m_lock);
    }

    // Consistent copies of all records for display, in list order; the
    // message text is copied only when asked for.
    std::vector<SnapshotEntry> Snapshot(bool withText = false,
                                        uint64_t* changeCount = nullptr) const;
    // Grows whenever records are added, removed, loaded or changed through
    // Modify or NotifyChanged; readers compare it to see whether to rebuild.
    uint64_t GetChangeCount() const { return m_changeCount.load(); }
    void NotifyChanged() { ++m_changeCount; }
    // Runs the change on the live record named by a snapshot key, under the
    // lock; false when the record is gone. Call MarkDirty in it for changes
    // that must reach the database.
    bool Modify(const CEmailData* key, const std::function<void(CEmailData&)>& change);
    // -1 when the record is not (any more) in the list.
    int IndexOf(const CEmailData* key) const;

private:
    using Notices = std::vector<std::pair<std::string, std::string>>;

    int DeleteFromDatabaseLocked(CEmailData& record, Notices& notices);
    void Deliver(const Notices& notices);

    CInboxWardenDb& m_db;
    mutable std::recursive_mutex m_lock;
    std::vector<CEmailData*> m_records;
    std::atomic<uint64_t> m_changeCount{0};
};
