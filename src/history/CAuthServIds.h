#pragma once

#include <cstdint>
#include <string>

class CInboxWardenDb;

// What each account's receiving server calls itself in the
// Authentication-Results fields it writes, learned from new mail and kept in
// the database (table AuthServIds), so the program and the command-line
// scanner share it and it survives restarts. An id is learned when it stands
// at the top of kLearnAfter consecutive new messages; as many without any
// field teach that the server writes none. Members take the database lock for
// their own work only (the history's lock may be held, nothing else).
class CAuthServIds {
public:
    static constexpr int kLearnAfter = 20;
    static constexpr size_t kIdLimit = 255;

    enum State { AS_Unknown = 0, AS_Learned = 1, AS_WritesNone = 2 };
    struct Entry {
        State state = AS_Unknown;
        std::string servId;  // with AS_Learned; may be empty (a server that writes no id)
    };

    explicit CAuthServIds(CInboxWardenDb& db);

    // Counts one new message of the account: `found` with the id at its top,
    // or no field there. False when the database could not be written.
    bool Observe(const std::string& account, bool found, const std::string& servId);
    // What is known of the account; AS_Unknown as well when the database
    // cannot be read.
    Entry Get(const std::string& account);

private:
    CInboxWardenDb& m_db;
};
