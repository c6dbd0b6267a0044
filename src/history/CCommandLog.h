#pragma once

#include <cstdint>
#include <string>

class CInboxWardenDb;

// The remote commands already obeyed, by a key of each message (its
// Message-ID, else a digest of its header fields), kept in the database
// (table ObeyedCommands) so that a command mail sent again is not obeyed
// again, across restarts and by the command-line scanner too. Every member
// takes the database lock for its own work only.
class CCommandLog {
public:
    // Longest key kept; longer ones are compared on this much.
    static constexpr size_t kKeyLimit = 300;

    explicit CCommandLog(CInboxWardenDb& db);

    // True when a command with this key was obeyed. False as well when the
    // database cannot be read; ok then says so.
    bool WasObeyed(const std::string& key, bool* ok = nullptr);
    // Notes the command as obeyed at `when`; false when it could not be stored.
    bool Record(const std::string& key, uint32_t when);

private:
    CInboxWardenDb& m_db;
};
