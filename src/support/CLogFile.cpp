#include "support/CLogFile.h"

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#ifndef IW_VERSION_MAJOR
#define IW_VERSION_MAJOR 1
#define IW_VERSION_MINOR 0
#define IW_VERSION_BUILD 0
#endif

namespace {

std::mutex& LogLock() {
    static std::mutex lock;
    return lock;
}

// Messages are built without a fixed buffer; one that grows past this is cut.
constexpr size_t kMaxMessage = 1 << 20;

std::string TimeOfDay() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char text[32];
    snprintf(text, sizeof text, "%d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) {
        return {};
    }
    if (static_cast<size_t>(n) < sizeof small) {
        return std::string(small, n);
    }
    size_t size = std::min(static_cast<size_t>(n), kMaxMessage);
    std::vector<char> big(size + 1);
    va_copy(copy, args);
    vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    return std::string(big.data(), size);
}

}  // namespace

CLogFile::CLogFile(std::string programFolder, std::string appName)
    : m_programFolder(std::move(programFolder)), m_appName(std::move(appName)) {}

CLogFile::~CLogFile() {
    Close();
}

std::string CLogFile::VersionText() {
    char text[64];
    snprintf(text, sizeof text, "%d.%d Build %d", IW_VERSION_MAJOR, IW_VERSION_MINOR,
             IW_VERSION_BUILD);
    return text;
}

bool CLogFile::Open(const std::string& logName, int flags, unsigned maxSizeMB) {
    std::lock_guard<std::mutex> guard(LogLock());
    m_flags = flags;
    m_enabled = (flags & LF_Enabled) != 0;
    if (!m_enabled || m_maxSizeMB != 0) {
        return true;
    }
    m_maxSizeMB = maxSizeMB == 0 ? 1 : maxSizeMB;
    m_path = m_programFolder + m_appName + logName + ".log";
    if (m_file) {
        fclose(m_file);
        m_file = nullptr;
    }
    m_file = fopen(m_path.c_str(), (flags & LF_Truncate) ? "w" : "a");
    if (!m_file) {
        return false;
    }
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char when[64];
    asctime_r(&local, when);
    fprintf(m_file, "\n-------- %s %s -------- %s", m_appName.c_str(), VersionText().c_str(), when);
    fflush(m_file);
    return true;
}

void CLogFile::SetEnabled(bool enabled) {
    std::lock_guard<std::mutex> guard(LogLock());
    m_enabled = enabled;
}

bool CLogFile::IsEnabled() const {
    std::lock_guard<std::mutex> guard(LogLock());
    return m_enabled;
}

void CLogFile::Close() {
    std::lock_guard<std::mutex> guard(LogLock());
    if (m_file) {
        fclose(m_file);
        m_file = nullptr;
    }
}

void CLogFile::Write(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(format, args);
    va_end(args);
}

void CLogFile::WriteV(const char* format, va_list args) {
    std::lock_guard<std::mutex> guard(LogLock());
    WriteLocked(format ? format : "", args);
}

void CLogFile::WriteAt(const char* sourceFile, int line, const char* format, ...) {
    std::lock_guard<std::mutex> guard(LogLock());
    if (!m_enabled) {
        return;
    }
    const char* base = sourceFile ? sourceFile : "";
    for (const char* p = base; *p; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    // The base name becomes part of the format: a "%" in it must stay text.
    std::string prefixed;
    for (const char* p = base; *p; ++p) {
        if (*p == '%') {
            prefixed += '%';
        }
        prefixed += *p;
    }
    prefixed += "." + std::to_string(line) + ": ";
    prefixed += format ? format : "";
    va_list args;
    va_start(args, format);
    WriteLocked(prefixed, args);
    va_end(args);
}

void CLogFile::RotateIfNeeded() {
    struct stat info {};
    if (stat(m_path.c_str(), &info) != 0) {
        return;
    }
    if (static_cast<unsigned long long>(info.st_size) <=
        static_cast<unsigned long long>(m_maxSizeMB) * 1048576ULL) {
        return;
    }
    if (m_file) {
        fclose(m_file);
        m_file = nullptr;
    }
    std::string old = m_path;
    if (old.size() >= 4) {
        old.replace(old.size() - 4, 4, ".old");
    } else {
        old += ".old";
    }
    remove(old.c_str());
    rename(m_path.c_str(), old.c_str());
}

void CLogFile::WriteLocked(const std::string& format, va_list args) {
    if (!m_enabled || m_path.empty()) {
        return;
    }
    RotateIfNeeded();
    if (!m_file) {
        m_file = fopen(m_path.c_str(), "a");
        if (!m_file) {
            return;
        }
    }
    std::string built = format;
    size_t bar = built.find('|');
    if (bar != std::string::npos) {
        built = built.substr(0, bar) + " " + TimeOfDay() + built.substr(bar + 1);
    }
    bool continues = !format.empty() && format[0] == '.';
    if (continues) {
        built.erase(0, 1);
    }
    std::string text = FormatV(built.c_str(), args);
    fwrite(text.data(), 1, text.size(), m_file);
    if (!continues) {
        fputc('\n', m_file);
    }
    fflush(m_file);
}
