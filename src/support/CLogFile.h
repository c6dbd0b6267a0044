#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// A diagnostic text log. A "|" in a message inserts the time of day, a leading
// "." continues the current line instead of ending it. Every log in the process
// shares one lock, so each message is atomic against every other log operation.
class CLogFile {
public:
    enum Flags : int {
        LF_Enabled = 1,
        LF_Truncate = 2,
    };

    // The log's file is programFolder + appName + logName + ".log"; the
    // folder keeps its trailing "/".
    CLogFile(std::string programFolder, std::string appName);
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // Records the flags; an enabled log that was never opened is opened now
    // and gets its header. False only when that open fails.
    bool Open(const std::string& logName, int flags, unsigned maxSizeMB);

    void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void WriteV(const char* format, va_list args);
    // Prefixes the message with the source file's base name and line number.
    void WriteAt(const char* sourceFile, int line, const char* format, ...)
        __attribute__((format(printf, 4, 5)));

    void SetEnabled(bool enabled);
    bool IsEnabled() const;
    const std::string& GetPath() const { return m_path; }
    void Close();

    // The version text of the header, "%1.%2 Build %3".
    static std::string VersionText();

private:
    void WriteLocked(const std::string& format, va_list args);
    void RotateIfNeeded();

    std::string m_programFolder;
    std::string m_appName;
    std::string m_path;
    unsigned m_maxSizeMB = 0;
    int m_flags = 0;
    bool m_enabled = false;
    FILE* m_file = nullptr;
};

// Writes with the caller's source location.
#define IW_LOG_AT(log, ...) (log).WriteAt(__FILE__, __LINE__, __VA_ARGS__)
