// CInboxWardenEngine: a scan that fetches only what the server's unique ids
// (POP3 UIDL) do not already vouch for.
//
// A message is skipped only when its id was stored for this account together
// with a record that is still in the history and the same size: an id seen
// for the first time, an id whose size changed (a server that reuses ids
// after a deletion) and an id whose record is gone are fetched and matched by
// content, as a scan without ids does, so no new message passes unfiltered.
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "engine/CInboxWardenEngine.h"
#include "engine/IEngineOwner.h"
#include "history/CSeenUidls.h"
#include "mail/CPOP3.h"

bool CInboxWardenEngine::DownloadByUidl(std::vector<std::unique_ptr<CEmailData>>& emails,
                                        const std::string& account, UidlScan& uidl) {
    CLogFile& log = MainLog();
    std::vector<CPOP3::UidlEntry> ids;
    if (!m_pop3->Uidl(ids)) {
        log.Write("No unique ids from %s (%s): fetching every message", m_pop3->GetHost().c_str(),
                  m_pop3->GetErrorText().c_str());
        return false;
    }
    std::vector<CPOP3::SizeEntry> sizes;
    if (!m_pop3->ListSizes(sizes)) {
        log.Write("No message sizes from %s (%s): fetching every message",
                  m_pop3->GetHost().c_str(), m_pop3->GetErrorText().c_str());
        return false;
    }
    // The listing must number the messages 1 to n, each once; anything else
    // and the numbers cannot be trusted to name the messages.
    const size_t n = sizes.size();
    std::vector<uint32_t> sizeOf(n + 1, 0);
    std::vector<char> listed(n + 1, 0);
    for (const CPOP3::SizeEntry& entry : sizes) {
        size_t number = static_cast<size_t>(entry.number);
        if (number < 1 || number > n || listed[number]) {
            log.Write("LIST from %s does not number the messages 1 to %d: fetching every message",
                      m_pop3->GetHost().c_str(), static_cast<int>(n));
            return false;
        }
        listed[number] = 1;
        sizeOf[number] = entry.size;
    }
    // An id given to two messages identifies neither.
    std::vector<std::string> uidOf(n + 1);
    for (const CPOP3::UidlEntry& entry : ids) {
        size_t number = static_cast<size_t>(entry.number);
        if (number >= 1 && number <= n) {
            uidOf[number] = entry.uid;
        }
    }
    {
        std::unordered_map<std::string, int> uidCount;
        for (size_t i = 1; i <= n; ++i) {
            if (!uidOf[i].empty()) {
                ++uidCount[uidOf[i]];
            }
        }
        for (size_t i = 1; i <= n; ++i) {
            if (!uidOf[i].empty() && uidCount[uidOf[i]] > 1) {
                uidOf[i].clear();
            }
        }
    }

    std::vector<CSeenUidls::Entry> stored;
    CSeenUidls().Load(account, stored);
    std::unordered_map<std::string_view, std::vector<const CSeenUidls::Entry*>> byUid;
    for (const CSeenUidls::Entry& entry : stored) {
        byUid[entry.uid].push_back(&entry);
    }
    std::vector<int> toFetch;
    std::unordered_set<std::string_view> kept;
    {
        auto lock = m_history.Lock();
        std::unordered_map<int32_t, CEmailData*> byId;
        if (!byUid.empty()) {
            int count = m_history.GetCount();
            for (int i = 0; i < count; ++i) {
                CEmailData* record = m_history.GetAt(i);
                if (record && record->m_id > 0 && record->m_account == account) {
                    byId.emplace(record->m_id, record);
                }
            }
        }
        for (size_t i = 1; i <= n; ++i) {
            auto found = uidOf[i].empty() ? byUid.end() : byUid.find(uidOf[i]);
            bool known = found != byUid.end();
            if (known) {
                for (const CSeenUidls::Entry* entry : found->second) {
                    if (entry->size != sizeOf[i] || !byId.count(entry->recordId)) {
                        known = false;
                        break;
                    }
                }
            }
            if (!known) {
                toFetch.push_back(static_cast<int>(i));
                continue;
            }
            kept.insert(found->first);
            for (const CSeenUidls::Entry* entry : found->second) {
                // Numbers ascend: the first one a record gets is its lowest.
                uidl.known.emplace(byId[entry->recordId], static_cast<int32_t>(i));
            }
        }
    }
    for (const auto& [uid, entries] : byUid) {
        if (!kept.count(uid)) {
            uidl.dropped.emplace_back(uid);
        }
    }
    log.Write("%d of %d messages on %s known by their unique ids, %d to fetch",
              static_cast<int>(n - toFetch.size()), static_cast<int>(n), account.c_str(),
              static_cast<int>(toFetch.size()));

    if (m_owner) {
        m_owner->OnProgressRange(IEngineOwner::PL_Messages, static_cast<int>(n));
    }
    // After a reconnect the server may have renumbered the messages: every
    // number is looked up again by its id before anything is fetched or done
    // by it. A message whose id is gone, or that has none, waits for the
    // next scan.
    std::unordered_map<CEmailData*, std::string> knownUid;
    for (const auto& [record, number] : uidl.known) {
        knownUid.emplace(record, uidOf[static_cast<size_t>(number)]);
    }
    std::unordered_map<std::string, int> numberNow;
    unsigned session = m_pop3->GetSessionNumber();
    int reconnects = 0;
    int total = static_cast<int>(n);
    for (int i : toFetch) {
        if (m_abortRequested) {
            return true;
        }
        int number = i;
        if (reconnects > 0) {
            auto now = uidOf[static_cast<size_t>(i)].empty()
                           ? numberNow.end()
                           : numberNow.find(uidOf[static_cast<size_t>(i)]);
            if (now == numberNow.end()) {
                continue;
            }
            number = now->second;
        }
        FetchStep step = FetchOne(number, total, account, emails);
        if (step == FS_Fetched) {
            uidl.fetchedIds.emplace_back(uidOf[static_cast<size_t>(i)],
                                         sizeOf[static_cast<size_t>(i)]);
        }
        if (step == FS_Lost) {
            Renumber(emails, knownUid, uidl, nullptr);
            return true;
        }
        if (m_pop3->GetSessionNumber() != session) {
            session = m_pop3->GetSessionNumber();
            std::vector<CPOP3::UidlEntry> now;
            bool listed = ++reconnects <= kMaxReconnects && m_pop3->Uidl(now) &&
                          m_pop3->GetSessionNumber() == session;
            if (!listed) {
                log.Write(
                    "Message numbers on %s unknown after a reconnect: the rest waits "
                    "for the next scan",
                    m_pop3->GetHost().c_str());
                Renumber(emails, knownUid, uidl, nullptr);
                return true;
            }
            numberNow.clear();
            for (const CPOP3::UidlEntry& entry : now) {
                numberNow.emplace(entry.uid, entry.number);
            }
            Renumber(emails, knownUid, uidl, &numberNow);
        }
    }
    if (m_owner) {
        m_owner->OnProgress(IEngineOwner::PL_Messages, static_cast<int>(n));
    }
    return true;
}

void CInboxWardenEngine::Renumber(std::vector<std::unique_ptr<CEmailData>>& emails,
                                  const std::unordered_map<CEmailData*, std::string>& knownUid,
                                  UidlScan& uidl,
                                  const std::unordered_map<std::string, int>* numberNow) {
    auto lookUp = [&](const std::string& uid) {
        if (!numberNow || uid.empty()) {
            return 0;
        }
        auto found = numberNow->find(uid);
        return found == numberNow->end() ? 0 : found->second;
    };
    for (size_t k = 0; k < emails.size() && k < uidl.fetchedIds.size(); ++k) {
        emails[k]->m_serverId = lookUp(uidl.fetchedIds[k].first);
    }
    for (auto it = uidl.known.begin(); it != uidl.known.end();) {
        auto uid = knownUid.find(it->first);
        int number = uid == knownUid.end() ? 0 : lookUp(uid->second);
        if (number > 0) {
            it->second = number;
            ++it;
        } else {
            it = uidl.known.erase(it);
        }
    }
}

void CInboxWardenEngine::NoteUidls(const std::string& account, UidlScan& uidl) {
    PendingUidls pending;
    pending.account = account;
    pending.dropped = std::move(uidl.dropped);
    for (size_t i = 0; i < uidl.fetchedIds.size() && i < uidl.equal.size(); ++i) {
        const auto& [uid, size] = uidl.fetchedIds[i];
        if (uid.empty()) {
            continue;
        }
        for (CEmailData* record : uidl.equal[i]) {
            pending.added.push_back({{uid, size}, record});
        }
    }
    if (!pending.dropped.empty() || !pending.added.empty()) {
        m_pendingUidls.push_back(std::move(pending));
    }
}

void CInboxWardenEngine::SavePendingUidls() {
    std::vector<PendingUidls> pending;
    pending.swap(m_pendingUidls);
    if (pending.empty()) {
        return;
    }
    // A record the save could not store has no id yet; its message is
    // matched by content again next time.
    std::vector<std::vector<CSeenUidls::Entry>> added(pending.size());
    {
        auto lock = m_history.Lock();
        std::unordered_set<const CEmailData*> live;
        int count = m_history.GetCount();
        for (int i = 0; i < count; ++i) {
            live.insert(m_history.GetAt(i));
        }
        for (size_t a = 0; a < pending.size(); ++a) {
            for (const auto& [idSize, record] : pending[a].added) {
                if (live.count(record) && record->m_id > 0) {
                    added[a].push_back({idSize.first, record->m_id, idSize.second});
                }
            }
        }
    }
    CSeenUidls seen;
    for (size_t a = 0; a < pending.size(); ++a) {
        const PendingUidls& account = pending[a];
        if (!seen.Update(account.account, account.dropped, added[a])) {
            MainLog().Write(
                "Could not store the unique ids of %s; their messages will be fetched "
                "again",
                account.account.c_str());
        }
    }
}
