#pragma once

#include <cstdint>
#include <string>

class CInboxWardenDb;

// When each address was last challenged, kept in the database (table
// Challenges) so that the once-a-day limit holds across restarts and between
// the program and the command-line scanner. Every member takes the database
// lock for its own work only; callers may hold the history's lock (which
// comes before the database lock) but nothing else of the database.
class CChallengeLog {
public:
    // Longest address kept; longer ones are compared on this much.
    static constexpr size_t kAddressLimit = 320;

    explicit CChallengeLog(CInboxWardenDb& db);

    // True when the address (bare, lower case) was challenged at or after
    // `since` (seconds since 1970). False as well when the database cannot
    // be read; ok then says so.
    bool ChallengedSince(const std::string& address, uint32_t since, bool* ok = nullptr);
    // Notes a challenge sent to the address at `when`; false when it could
    // not be stored.
    bool Record(const std::string& address, uint32_t when);
    // Forgets challenges sent before `before`; the number removed, or -1.
    int RemoveBefore(uint32_t before);

private:
    CInboxWardenDb& m_db;
};
