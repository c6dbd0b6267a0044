#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

// A second connection on a database file, for tests that look behind the
// program's back or change the file under it.
class SqlProbe {
public:
    explicit SqlProbe(const std::string& path);
    ~SqlProbe();
    SqlProbe(const SqlProbe&) = delete;
    SqlProbe& operator=(const SqlProbe&) = delete;

    bool IsOpen() const { return m_db != nullptr; }
    // Runs the statement; false (and the message in LastError) on failure.
    bool Exec(const std::string& sql);
    // The first column of every row, as text ("<null>" for Null).
    std::vector<std::string> Column(const std::string& sql);
    // The first column of the first row as a number; -1 when there is none.
    int64_t Number(const std::string& sql);
    const std::string& LastError() const { return m_error; }

private:
    sqlite3* m_db = nullptr;
    std::string m_error;
};
