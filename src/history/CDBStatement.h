#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

// One prepared SQLite statement, finalized with the object. Values always go
// in through the Bind functions; statement text never carries data.
class CDBStatement {
public:
    CDBStatement(sqlite3* db, const char* sql);
    ~CDBStatement();
    CDBStatement(const CDBStatement&) = delete;
    CDBStatement& operator=(const CDBStatement&) = delete;

    // False when the statement did not compile; Error() says why.
    bool IsValid() const { return m_stmt != nullptr; }
    // 0 when the statement has no parameter of that name (":name").
    int ParamIndex(const char* name) const;

    // The text is not copied: it must outlive the next Step.
    void BindText(int index, const std::string& text, size_t maxLength = std::string::npos);
    void BindInt(int index, int32_t value);
    void BindInt64(int index, int64_t value);
    void BindNull(int index);

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step();
    // Ready for the next use with fresh bindings.
    void Reset();

    int32_t ColumnInt(int column) const;
    int64_t ColumnInt64(int column) const;
    bool ColumnIsNull(int column) const;
    // A Null column reads as empty text; a longer text is cut to maxLength.
    std::string ColumnText(int column, size_t maxLength = std::string::npos) const;

    // The result code of the last failing call and SQLite's message for it.
    int ErrorCode() const { return m_errorCode; }
    const std::string& Error() const { return m_error; }

private:
    void NoteBindResult(int rc);

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    int m_errorCode = SQLITE_OK;
    std::string m_error;
};
